# The real desktop: Qt 6, libcurl, libsecret, AT-SPI 2, Tesseract, libcanberra; X11 and Wayland backends.
find_package(CURL REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenMP REQUIRED COMPONENTS CXX)
find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Network DBus)
pkg_check_modules(LIBSECRET REQUIRED IMPORTED_TARGET libsecret-1)
pkg_check_modules(ATSPI REQUIRED IMPORTED_TARGET atspi-2)
pkg_check_modules(TESSERACT REQUIRED IMPORTED_TARGET tesseract lept)
pkg_check_modules(CANBERRA REQUIRED IMPORTED_TARGET libcanberra)
pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0 gio-2.0)
pkg_check_modules(XXHASH REQUIRED IMPORTED_TARGET libxxhash)

# One static library per folder of src/platform/linux, each linking only what its folder needs, so
# that the build itself refuses a shared file reaching for one display system.
option(WS_SESSION_X11 "Build the X11 session backends" ON)
option(WS_SESSION_WAYLAND "Build the Wayland session backends" ON)

function(ws_linux_library name folder)
    file(GLOB_RECURSE sources CONFIGURE_DEPENDS src/platform/linux/${folder}/*.cpp src/platform/linux/${folder}/*.h)
    add_library(${name} STATIC ${sources})
    set_target_properties(${name} PROPERTIES AUTOMOC ON)
    target_compile_options(${name} PRIVATE ${WS_WARNINGS})
    # Qt and GLib both like the name "signals"; keep Qt's keywords off.
    target_compile_definitions(${name} PUBLIC QT_NO_KEYWORDS)
endfunction()

# What every Linux session shares: clock, worker, files, trace, frame hashing and scaling, sound,
# the agent's own windows.
ws_linux_library(wellspire_linux_common common)
target_link_libraries(wellspire_linux_common PUBLIC wellspire_platform Qt6::Core
    PRIVATE PkgConfig::CANBERRA PkgConfig::XXHASH Threads::Threads)

# What the user agreed to, and every gate that follows it: reads, captures, keys, the bus switch.
ws_linux_library(wellspire_linux_consent consent)
target_link_libraries(wellspire_linux_consent PUBLIC wellspire_linux_common Qt6::Core Qt6::DBus)

# The AT-SPI thread, the focus tracker and the text reader.
ws_linux_library(wellspire_linux_atspi atspi)
target_link_libraries(wellspire_linux_atspi PUBLIC wellspire_linux_consent PkgConfig::ATSPI PkgConfig::GLIB
    PRIVATE Threads::Threads)

# The Secret Service store, the file store, the cache and its watcher.
ws_linux_library(wellspire_linux_secrets secrets)
target_link_libraries(wellspire_linux_secrets PUBLIC wellspire_linux_common
    PRIVATE PkgConfig::LIBSECRET PkgConfig::GLIB Threads::Threads)

# The HTTP client, the loopback listener checks, the URL hand-off socket.
ws_linux_library(wellspire_linux_net net)
target_link_libraries(wellspire_linux_net PUBLIC wellspire_linux_common Qt6::Core Qt6::Network
    PRIVATE CURL::libcurl Threads::Threads)

# Qt: status item and menu, alerts, panels, the privacy and status windows.
ws_linux_library(wellspire_linux_shell shell)
target_link_libraries(wellspire_linux_shell PUBLIC wellspire_linux_consent Qt6::Core Qt6::Gui Qt6::Widgets Qt6::DBus
    PRIVATE Threads::Threads)

# The text recognizer and what reuses its work.
ws_linux_library(wellspire_linux_recognition recognition)
target_link_libraries(wellspire_linux_recognition PUBLIC wellspire_linux_common
    PRIVATE PkgConfig::TESSERACT PkgConfig::XXHASH OpenMP::OpenMP_CXX Threads::Threads)

include(cmake/LinuxX11.cmake)
include(cmake/LinuxWayland.cmake)

# The chooser of the session's backends, and everything the agent links.
add_library(wellspire_linux STATIC src/platform/linux/Session.cpp src/platform/linux/Session.h)
target_compile_options(wellspire_linux PRIVATE ${WS_WARNINGS})
target_link_libraries(wellspire_linux PUBLIC wellspire_linux_common wellspire_linux_consent wellspire_linux_atspi
    wellspire_linux_secrets wellspire_linux_net wellspire_linux_shell wellspire_linux_recognition)
if(WS_SESSION_X11)
    target_link_libraries(wellspire_linux PUBLIC wellspire_linux_x11)
    target_compile_definitions(wellspire_linux PUBLIC WS_SESSION_X11)
endif()
if(WS_SESSION_WAYLAND)
    target_link_libraries(wellspire_linux PUBLIC wellspire_linux_wayland)
    target_compile_definitions(wellspire_linux PUBLIC WS_SESSION_WAYLAND)
endif()

# The emblem travels inside the binary, so an installed agent finds it wherever it lives.
qt_add_resources(wellspire_linux wellspire_resources PREFIX /resources BASE resources
    FILES resources/menubar.png resources/menubar@2x.png)

add_executable(wellspire-agent src/app/main.cpp)
target_link_libraries(wellspire-agent PRIVATE wellspire_core wellspire_linux)
target_compile_options(wellspire-agent PRIVATE ${WS_WARNINGS})
target_compile_definitions(wellspire-agent PRIVATE WS_VERSION="${PROJECT_VERSION}")
set_target_properties(wellspire-agent PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

include(cmake/Install.cmake)
