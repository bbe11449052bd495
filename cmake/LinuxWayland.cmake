# The Wayland session: portal + PipeWire capture, compositor add-ons, the AT-SPI workspace.
if(WS_SESSION_WAYLAND)
    enable_language(C)
    pkg_check_modules(WAYLAND REQUIRED IMPORTED_TARGET wayland-client)
    pkg_check_modules(PIPEWIRE REQUIRED IMPORTED_TARGET libpipewire-0.3)
    pkg_check_modules(WAYLAND_SCANNER REQUIRED wayland-scanner)
    pkg_check_modules(WAYLAND_PROTOCOLS REQUIRED wayland-protocols)
    include(cmake/WaylandProtocols.cmake)
    ws_linux_library(wellspire_linux_wayland wayland)
    # The ScreenCast portal's proxy, generated from its interface (annotated for Qt).
    set(ws_portal_proxies)
    qt_add_dbus_interface(ws_portal_proxies
        ${CMAKE_SOURCE_DIR}/src/platform/linux/wayland/dbus/org.freedesktop.portal.ScreenCast.xml PortalScreenCastProxy)
    target_sources(wellspire_linux_wayland PRIVATE ${ws_portal_proxies})
    target_include_directories(wellspire_linux_wayland PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
    target_link_libraries(wellspire_linux_wayland PUBLIC wellspire_linux_common wellspire_linux_consent wellspire_linux_atspi nlohmann_json::nlohmann_json
        PRIVATE PkgConfig::WAYLAND PkgConfig::PIPEWIRE PkgConfig::ATSPI Qt6::Gui Qt6::Widgets Qt6::DBus Threads::Threads)
    # Compositor-native capture: wlr-screencopy (wlroots), with xdg-output for the outputs' layout.
    ws_wayland_protocol(wellspire_linux_wayland
        ${CMAKE_SOURCE_DIR}/src/platform/linux/wayland/protocols/wlr-screencopy-unstable-v1.xml)
    ws_wayland_protocol(wellspire_linux_wayland
        ${WS_WAYLAND_PROTOCOLS_DIR}/unstable/xdg-output/xdg-output-unstable-v1.xml)
endif()
