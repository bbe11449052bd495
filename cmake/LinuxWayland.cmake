# The Wayland session: portal + PipeWire capture, compositor add-ons, the AT-SPI workspace.
if(WS_SESSION_WAYLAND)
    pkg_check_modules(WAYLAND REQUIRED IMPORTED_TARGET wayland-client)
    ws_linux_library(wellspire_linux_wayland wayland)
    target_link_libraries(wellspire_linux_wayland PUBLIC wellspire_linux_common nlohmann_json::nlohmann_json
        PRIVATE PkgConfig::WAYLAND PkgConfig::ATSPI Threads::Threads)
endif()
