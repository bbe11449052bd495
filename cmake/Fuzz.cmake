# libFuzzer targets on the simulated platform, one per fuzz/*.cpp (see scripts/fuzz).
# The fuzz preset instruments every library (-fsanitize=fuzzer-no-link,address,undefined);
# only the targets link libFuzzer's driver.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "WS_BUILD_FUZZ needs clang: configure with the fuzz preset")
endif()

if(NOT TARGET wellspire_sim)
    file(GLOB WS_SIM_SOURCES CONFIGURE_DEPENDS tests/sim/*.cpp)
    add_library(wellspire_sim STATIC ${WS_SIM_SOURCES})
    target_include_directories(wellspire_sim PUBLIC tests)
    target_link_libraries(wellspire_sim PUBLIC wellspire_core wellspire_platform)
    target_compile_options(wellspire_sim PRIVATE ${WS_WARNINGS})
endif()

file(GLOB WS_FUZZ_SOURCES CONFIGURE_DEPENDS fuzz/*.cpp)
foreach(source ${WS_FUZZ_SOURCES})
    get_filename_component(target ${source} NAME_WE)
    add_executable(${target} ${source})
    target_link_libraries(${target} PRIVATE wellspire_sim)
    target_compile_options(${target} PRIVATE ${WS_WARNINGS} -fsanitize=fuzzer,address,undefined)
    target_link_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
endforeach()
