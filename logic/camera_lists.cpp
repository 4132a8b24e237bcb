#include <map>
#include <string>
#include <vector>

#include "logic/server_logic.h"

void CServerLogic::ApplyCameraLists(const MessageFields &fields)
{
    // Element i of each list describes the same channel.
    std::vector<std::string> ids = SplitString(fields.Get("cameraIdList"), ";");
    std::vector<std::string> indexes = SplitString(fields.Get("cameraIndexList"), ";");
    std::vector<std::string> hosts = SplitString(fields.Get("transIpList"), ";");
    std::vector<std::string> ports = SplitString(fields.Get("transPortList"), ";");
    // Lists that do not line up cannot be paired: ignore the whole message.
    if (indexes.size() != ids.size() || hosts.size() != ids.size() || ports.size() != ids.size())
        return;
    // m_Channels changes only on this thread, so it is read without its lock.
    for (size_t i = 0; i < ids.size(); ++i) {
        if (indexes[i].empty())
            continue;
        std::map<int32_t, CameraChannel *>::const_iterator found = m_Channels.find(DecimalValue(indexes[i]));
        if (found == m_Channels.end() || found->second == nullptr)
            continue;
        NotifyEvent request(kEventRelayRequest);
        request.fields.Set("sxtId", ids[i]);
        request.fields.Set("transIp", hosts[i]);
        request.fields.Set("transPort", ports[i]);
        found->second->PostRelayRequest(request);
    }
}
