# cmake -DBUNDLE=<path>/com.zorbel.streamdeck.sdPlugin -P InstallOpenDeck.cmake
# Replaces the bundle in OpenDeck's plug-ins folder: $OPENDECK_PLUGINS_DIR, else
# $XDG_CONFIG_HOME/opendeck/plugins (~/.config/opendeck/plugins). bundle/install-opendeck.sh is the
# installer for users (every OpenDeck folder, the right owner, atomic replacement).
# Read at run time, not at configure time, so the folder is the one of the user who installs.
if(NOT EXISTS "${BUNDLE}/zorbel-streamdeck-plugin")
  message(FATAL_ERROR "${BUNDLE} has no zorbel-streamdeck-plugin executable: build the app target first")
endif()
if(DEFINED ENV{OPENDECK_PLUGINS_DIR})
  set(dest "$ENV{OPENDECK_PLUGINS_DIR}")
elseif(IS_ABSOLUTE "$ENV{XDG_CONFIG_HOME}")
  # The XDG rules: an empty or relative value is ignored.
  set(dest "$ENV{XDG_CONFIG_HOME}/opendeck/plugins")
elseif(IS_ABSOLUTE "$ENV{HOME}")
  set(dest "$ENV{HOME}/.config/opendeck/plugins")
else()
  message(FATAL_ERROR "HOME is not set (or not an absolute path); set OPENDECK_PLUGINS_DIR")
endif()
get_filename_component(name "${BUNDLE}" NAME)
file(REMOVE_RECURSE "${dest}/${name}")
file(MAKE_DIRECTORY "${dest}")
# file(COPY) keeps the permissions, so the executable stays executable.
file(COPY "${BUNDLE}" DESTINATION "${dest}")
message(STATUS "Installed ${name} into ${dest}; restart OpenDeck to load it")
