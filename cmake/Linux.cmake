# The real desktop: libcurl, libsecret and the POSIX pieces.
find_package(CURL REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(LIBSECRET REQUIRED IMPORTED_TARGET libsecret-1)

file(GLOB WS_LINUX_SOURCES CONFIGURE_DEPENDS src/platform/linux/*.cpp)
add_library(wellspire_linux STATIC ${WS_LINUX_SOURCES})
target_link_libraries(wellspire_linux PUBLIC wellspire_platform
    PRIVATE CURL::libcurl PkgConfig::LIBSECRET Threads::Threads)
target_compile_options(wellspire_linux PRIVATE ${WS_WARNINGS})

add_executable(wellspire-agent src/app/main.cpp)
target_link_libraries(wellspire-agent PRIVATE wellspire_core wellspire_linux)
target_compile_options(wellspire-agent PRIVATE ${WS_WARNINGS})
set_target_properties(wellspire-agent PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
