# Two install layouts, the ones OBS Studio searches for plug-ins on Linux:
#   system: <prefix>/lib/<multiarch>/obs-plugins/kelvara-banner.so and <prefix>/share/obs/obs-plugins/kelvara-banner/
#   user:   ~/.config/obs-studio/plugins/kelvara-banner/bin/64bit/kelvara-banner.so with data/ beside bin/
set(KELVARA_INSTALL_LAYOUT "system" CACHE STRING "Install layout: system or user")
set_property(CACHE KELVARA_INSTALL_LAYOUT PROPERTY STRINGS system user)
include(GNUInstallDirs)

set(KELVARA_USER_PLUGIN_DIR "$ENV{HOME}/.config/obs-studio/plugins" CACHE PATH
    "Where the user layout installs (OBS Studio's per-user plug-in folder)")
if(KELVARA_INSTALL_LAYOUT STREQUAL "user")
    set(module_destination "${KELVARA_USER_PLUGIN_DIR}/kelvara-banner/bin/64bit")
    set(data_destination "${KELVARA_USER_PLUGIN_DIR}/kelvara-banner/data")
else()
    if(CMAKE_LIBRARY_ARCHITECTURE)
        set(module_destination "lib/${CMAKE_LIBRARY_ARCHITECTURE}/obs-plugins") # where Debian's OBS looks
    else()
        set(module_destination "${CMAKE_INSTALL_LIBDIR}/obs-plugins")
    endif()
    set(data_destination "${CMAKE_INSTALL_DATAROOTDIR}/obs/obs-plugins/kelvara-banner")
endif()

install(TARGETS kelvara-banner LIBRARY DESTINATION "${module_destination}")
install(DIRECTORY data/locale DESTINATION "${data_destination}")
# Qt plug-ins the module adds to Qt's library path (see data/qt-plugins/README.md); the folder always exists.
install(DIRECTORY DESTINATION "${data_destination}/qt-plugins")
