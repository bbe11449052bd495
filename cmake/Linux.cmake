# The real desktop: Qt 6, libcurl, libsecret, AT-SPI 2, X11, Tesseract, libcanberra.
find_package(CURL REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenMP REQUIRED COMPONENTS CXX)
find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Network DBus)
pkg_check_modules(LIBSECRET REQUIRED IMPORTED_TARGET libsecret-1)
pkg_check_modules(ATSPI REQUIRED IMPORTED_TARGET atspi-2)
pkg_check_modules(X11LIBS REQUIRED IMPORTED_TARGET x11 xi xcomposite xrandr xfixes xext)
pkg_check_modules(TESSERACT REQUIRED IMPORTED_TARGET tesseract lept)
pkg_check_modules(CANBERRA REQUIRED IMPORTED_TARGET libcanberra)
pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0 gio-2.0)
pkg_check_modules(XXHASH REQUIRED IMPORTED_TARGET libxxhash)

file(GLOB WS_LINUX_SOURCES CONFIGURE_DEPENDS src/platform/linux/*.cpp src/platform/linux/*.h)
add_library(wellspire_linux STATIC ${WS_LINUX_SOURCES})
set_target_properties(wellspire_linux PROPERTIES AUTOMOC ON)
target_link_libraries(wellspire_linux PUBLIC wellspire_platform
    PRIVATE CURL::libcurl PkgConfig::LIBSECRET PkgConfig::ATSPI PkgConfig::X11LIBS PkgConfig::TESSERACT
            PkgConfig::CANBERRA PkgConfig::GLIB PkgConfig::XXHASH OpenMP::OpenMP_CXX Threads::Threads
    PUBLIC Qt6::Core Qt6::Gui Qt6::Widgets Qt6::Network Qt6::DBus)
target_compile_options(wellspire_linux PRIVATE ${WS_WARNINGS})
# Qt and GLib both like the name "signals"; keep Qt's keywords off.
target_compile_definitions(wellspire_linux PUBLIC QT_NO_KEYWORDS)

# The emblem travels inside the binary, so an installed agent finds it wherever it lives.
qt_add_resources(wellspire_linux wellspire_resources PREFIX /resources BASE resources
    FILES resources/menubar.png resources/menubar@2x.png)

add_executable(wellspire-agent src/app/main.cpp)
target_link_libraries(wellspire-agent PRIVATE wellspire_core wellspire_linux)
target_compile_options(wellspire-agent PRIVATE ${WS_WARNINGS})
target_compile_definitions(wellspire-agent PRIVATE WS_VERSION="${PROJECT_VERSION}")
set_target_properties(wellspire-agent PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

include(cmake/Install.cmake)
