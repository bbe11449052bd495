find_package(GTest REQUIRED)
include(GoogleTest)

file(GLOB WS_SIM_SOURCES CONFIGURE_DEPENDS tests/sim/*.cpp)
add_library(wellspire_sim STATIC ${WS_SIM_SOURCES})
target_include_directories(wellspire_sim PUBLIC tests)
target_link_libraries(wellspire_sim PUBLIC wellspire_core wellspire_platform)
target_compile_options(wellspire_sim PRIVATE ${WS_WARNINGS})

file(GLOB WS_UNIT_SOURCES CONFIGURE_DEPENDS
    tests/backend/*.cpp tests/pairing/*.cpp tests/signals/*.cpp tests/checkins/*.cpp tests/app/*.cpp tests/sim_tests/*.cpp)
add_executable(unit_tests ${WS_UNIT_SOURCES})
target_link_libraries(unit_tests PRIVATE wellspire_sim GTest::gtest GTest::gmock GTest::gtest_main)
target_compile_options(unit_tests PRIVATE ${WS_WARNINGS})
gtest_discover_tests(unit_tests PROPERTIES LABELS unit DISCOVERY_TIMEOUT 60)

# Days of virtual time through the whole agent on the simulated platform.
file(GLOB WS_SOAK_SOURCES CONFIGURE_DEPENDS tests/soak/*.cpp)
add_executable(soak_tests ${WS_SOAK_SOURCES})
target_link_libraries(soak_tests PRIVATE wellspire_sim GTest::gtest GTest::gtest_main)
target_compile_options(soak_tests PRIVATE ${WS_WARNINGS})
gtest_discover_tests(soak_tests PROPERTIES LABELS soak TIMEOUT 300 DISCOVERY_TIMEOUT 60)

if(WS_BUILD_LINUX)
    file(GLOB WS_INTEGRATION_SOURCES CONFIGURE_DEPENDS tests/integration/*.cpp)
    if(WS_INTEGRATION_SOURCES)
        add_executable(integration_tests ${WS_INTEGRATION_SOURCES})
        target_link_libraries(integration_tests PRIVATE wellspire_core wellspire_linux PkgConfig::HTTPLIB PkgConfig::GLIB
            GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
        target_include_directories(integration_tests PRIVATE tests)
        target_compile_definitions(integration_tests PRIVATE WS_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
        target_compile_options(integration_tests PRIVATE ${WS_WARNINGS})
        # OpenMP's constructs as the compiler emits them, run through the program's own sections.
        target_link_libraries(integration_tests PRIVATE OpenMP::OpenMP_CXX)
        gtest_discover_tests(integration_tests PROPERTIES LABELS integration DISCOVERY_TIMEOUT 60)
    endif()
endif()

if(WS_BUILD_LINUX)
    # The harness every desktop suite shares: the agent, a loopback backend, clients, X/AT-SPI probes.
    file(GLOB WS_DESKTOP_HARNESS_SOURCES CONFIGURE_DEPENDS tests/desktop/*.cpp tests/desktop/*.h)
    add_library(desktop_harness STATIC ${WS_DESKTOP_HARNESS_SOURCES})
    target_link_libraries(desktop_harness PUBLIC wellspire_core wellspire_linux PkgConfig::HTTPLIB
        GTest::gtest GTest::gmock Threads::Threads)
    target_include_directories(desktop_harness PUBLIC tests)
    target_compile_options(desktop_harness PRIVATE ${WS_WARNINGS})
    target_compile_definitions(desktop_harness PUBLIC
        WS_BUILD_DIR="${CMAKE_BINARY_DIR}" WS_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

    # Tests of the real agent on an X11 session: Xvfb, openbox, D-Bus and AT-SPI (scripts/desktop-session).
    if(WS_SESSION_X11)
        file(GLOB WS_DESKTOP_X11_SOURCES CONFIGURE_DEPENDS tests/desktop/x11/*.cpp)
        add_executable(desktop_tests ${WS_DESKTOP_X11_SOURCES})
        target_link_libraries(desktop_tests PRIVATE desktop_harness GTest::gtest_main)
        # The tests drive the real agent binary.
        add_dependencies(desktop_tests wellspire-agent)
        target_compile_options(desktop_tests PRIVATE ${WS_WARNINGS})
        gtest_discover_tests(desktop_tests PROPERTIES LABELS desktop RUN_SERIAL TRUE DISCOVERY_TIMEOUT 60)
    endif()

    # Tests of the real agent on a headless sway session with native Wayland clients
    # (scripts/wayland-session).
    if(WS_SESSION_WAYLAND)
        file(GLOB WS_DESKTOP_WAYLAND_SOURCES CONFIGURE_DEPENDS tests/desktop/wayland/*.cpp)
        add_executable(wayland_desktop_tests ${WS_DESKTOP_WAYLAND_SOURCES})
        target_link_libraries(wayland_desktop_tests PRIVATE desktop_harness GTest::gtest_main)
        add_dependencies(wayland_desktop_tests wellspire-agent)
        target_compile_options(wayland_desktop_tests PRIVATE ${WS_WARNINGS})
        gtest_discover_tests(wayland_desktop_tests PROPERTIES LABELS wayland RUN_SERIAL TRUE DISCOVERY_TIMEOUT 60)

        # Tests of the real agent in a headless GNOME Shell session (scripts/gnome-session).
        file(GLOB WS_DESKTOP_GNOME_SOURCES CONFIGURE_DEPENDS tests/desktop/gnome/*.cpp)
        add_executable(gnome_desktop_tests ${WS_DESKTOP_GNOME_SOURCES})
        target_link_libraries(gnome_desktop_tests PRIVATE desktop_harness GTest::gtest_main)
        add_dependencies(gnome_desktop_tests wellspire-agent)
        target_compile_options(gnome_desktop_tests PRIVATE ${WS_WARNINGS})
        gtest_discover_tests(gnome_desktop_tests PROPERTIES LABELS gnome RUN_SERIAL TRUE DISCOVERY_TIMEOUT 60)
    endif()
endif()
