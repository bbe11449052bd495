# The X11 session: XComposite capture, the EWMH workspace with XInput 2 keys, panel hints, display loss.
if(WS_SESSION_X11)
    pkg_check_modules(X11LIBS REQUIRED IMPORTED_TARGET x11 xi xcomposite xdamage xrandr xfixes xext xscrnsaver)
    ws_linux_library(wellspire_linux_x11 x11)
    target_link_libraries(wellspire_linux_x11 PUBLIC wellspire_linux_common PRIVATE Qt6::Gui Qt6::Widgets PkgConfig::X11LIBS Threads::Threads)
endif()
