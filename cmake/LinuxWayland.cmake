# The Wayland session: portal + PipeWire capture, compositor add-ons, the AT-SPI workspace.
if(WS_SESSION_WAYLAND)
    enable_language(C)
    pkg_check_modules(WAYLAND REQUIRED IMPORTED_TARGET wayland-client)
    pkg_check_modules(WAYLAND_SCANNER REQUIRED wayland-scanner)
    pkg_check_modules(WAYLAND_PROTOCOLS REQUIRED wayland-protocols)
    include(cmake/WaylandProtocols.cmake)
    ws_linux_library(wellspire_linux_wayland wayland)
    target_link_libraries(wellspire_linux_wayland PUBLIC wellspire_linux_common
        PRIVATE PkgConfig::WAYLAND PkgConfig::ATSPI Threads::Threads)
    # Compositor-native capture: wlr-screencopy (wlroots), with xdg-output for the outputs' layout.
    ws_wayland_protocol(wellspire_linux_wayland
        ${CMAKE_SOURCE_DIR}/src/platform/linux/wayland/protocols/wlr-screencopy-unstable-v1.xml)
    ws_wayland_protocol(wellspire_linux_wayland
        ${WS_WAYLAND_PROTOCOLS_DIR}/unstable/xdg-output/xdg-output-unstable-v1.xml)
endif()
