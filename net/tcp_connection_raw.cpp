// Raw reading for a connection whose peer does not speak the length-prefixed
// framing (the snapshot upload's HTTP answer). Such a connection is set up
// without a receive callback, so its receive steps only pile the bytes up
// in m_RecvBuf; this hands them out in arrival order.
#include <string.h>

#include "net/tcp_connection.h"

// Owner thread only, like the receive step that fills the buffer. Moves up
// to `size` held bytes to `buf` and returns their count, 0 when none are
// held. -1 for a connection with a receive callback: its bytes are frames
// that belong to the callback.
int32_t TcpConnection::ReadRaw(void *buf, int32_t size)
{
    if (m_OnReceive != nullptr || buf == nullptr || size < 0)
        return -1;
    int32_t count = m_RecvFill < size ? m_RecvFill : size;
    if (count == 0)
        return 0;
    memcpy(buf, m_RecvBuf, static_cast<size_t>(count));
    m_RecvFill -= count;
    memmove(m_RecvBuf, m_RecvBuf + count, static_cast<size_t>(m_RecvFill));
    return count;
}
