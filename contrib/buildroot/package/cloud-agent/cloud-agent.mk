################################################################################
#
# cloud-agent
#
################################################################################

CLOUD_AGENT_VERSION = 1.0
# The source tree: the option, or else the tree that holds this package as
# a BR2_EXTERNAL (contrib/buildroot).
CLOUD_AGENT_TREE = $(call qstrip,$(BR2_PACKAGE_CLOUD_AGENT_SOURCE_DIR))
ifeq ($(CLOUD_AGENT_TREE),)
CLOUD_AGENT_TREE = $(realpath $(BR2_EXTERNAL_CLOUD_AGENT_PATH)/../..)
endif
CLOUD_AGENT_SITE = $(CLOUD_AGENT_TREE)
CLOUD_AGENT_SITE_METHOD = local
# Build folders of a developer's tree are not sources.
CLOUD_AGENT_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --exclude /build --exclude /out
CLOUD_AGENT_LICENSE = Proprietary

# The target build: the agent only, linked against the vendor's SDK.
CLOUD_AGENT_CONF_OPTS = \
	-DCLOUD_AGENT_BUILD_TESTS=OFF \
	-DCLOUD_AGENT_BUILD_SIM=OFF \
	-DCLOUD_AGENT_BUILD_BENCH=OFF \
	-DCLOUD_AGENT_DIRECTORY_HOSTS="$(call qstrip,$(BR2_PACKAGE_CLOUD_AGENT_DIRECTORY_HOSTS))" \
	-DCLOUD_AGENT_CONFIG_FILE="$(call qstrip,$(BR2_PACKAGE_CLOUD_AGENT_CONFIG_FILE))" \
	-DCMAKE_CXX_FLAGS="$(TARGET_CXXFLAGS) -ffunction-sections -fdata-sections" \
	-DCMAKE_EXE_LINKER_FLAGS="$(TARGET_LDFLAGS) -Wl,--gc-sections"

# Most camera firmwares ship no libstdc++: the agent brings the part of it
# that it uses, unless the option says the firmware has it.
ifeq ($(BR2_PACKAGE_CLOUD_AGENT_STATIC_CXX_RUNTIME),y)
CLOUD_AGENT_CONF_OPTS += -DCLOUD_AGENT_STATIC_CXX_RUNTIME=ON
else
CLOUD_AGENT_CONF_OPTS += -DCLOUD_AGENT_STATIC_CXX_RUNTIME=OFF
endif

ifneq ($(call qstrip,$(BR2_PACKAGE_CLOUD_AGENT_NETLIB)),)
CLOUD_AGENT_CONF_OPTS += \
	-DCLOUD_AGENT_NETLIB="$(call qstrip,$(BR2_PACKAGE_CLOUD_AGENT_NETLIB))"
endif

# The agent runs as this user (the init script's CLOUD_AGENT_USER): no
# home, no login shell, a group of its own to read the camera's
# configuration file through.
define CLOUD_AGENT_USERS
	cloud-agent -1 cloud-agent -1 * - - - camera cloud agent
endef

define CLOUD_AGENT_INSTALL_INIT_SYSV
	$(INSTALL) -D -m 0755 $(CLOUD_AGENT_PKGDIR)/S90cloud-agent \
		$(TARGET_DIR)/etc/init.d/S90cloud-agent
endef

$(eval $(cmake-package))
