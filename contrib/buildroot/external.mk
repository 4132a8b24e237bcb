include $(sort $(wildcard $(BR2_EXTERNAL_CLOUD_AGENT_PATH)/package/*/*.mk))
