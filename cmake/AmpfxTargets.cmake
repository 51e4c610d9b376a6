# Shared compile settings and helpers for every target of the tree.

# Warnings and sanitizers for ordinary (host or user-mode) code.
function(ampfx_target_defaults target)
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    if(AMPFX_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# Code that runs on a kernel stack (12 KB on x86, 24 KB on x64, shared with every driver above
# and below) keeps each frame small. Sanitizers pad frames with red zones, so their builds are
# left out; the plain and Windows builds check.
function(ampfx_kernel_stack_limit target)
    if(NOT AMPFX_SANITIZE)
        target_compile_options(${target} PRIVATE -Werror=frame-larger-than=1024)
    endif()
endfunction()

# A user-mode Windows program: compiled for the oldest Windows it supports (XP on x86, XP x64
# and Server 2003 on x64), so that the headers hide what those lack, and its imports checked
# against what they export; a newer function has to be looked up at run time.
function(ampfx_windows_program target)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
        set(version 0x0501)
    else()
        set(version 0x0502)
    endif()
    target_compile_definitions(${target} PRIVATE _WIN32_WINNT=${version} WINVER=${version})
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_SOURCE_DIR}/cmake/check-pe-imports.sh
                ${AMPFX_MINGW_TRIPLE}-objdump $<TARGET_FILE:${target}>
                ${CMAKE_SOURCE_DIR}/cmake/windows-xp-imports.txt
        VERBATIM)
endfunction()

# The effects engine runs inside a kernel driver and must give the same bits on every
# build: no contraction into FMA, no fast-math, SSE arithmetic on i686 as on x86-64,
# no exceptions, RTTI or hosted library.
function(ampfx_engine_defaults target)
    ampfx_target_defaults(${target})
    ampfx_kernel_stack_limit(${target})
    target_compile_options(${target} PRIVATE
        -ffp-contract=off -fno-fast-math -fno-math-errno
        $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics>
        -ffreestanding -fno-builtin-malloc)
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86|i[3-6]86)$")
        target_compile_options(${target} PRIVATE -msse2 -mfpmath=sse)
    endif()
endfunction()

if(AMPFX_SANITIZE AND NOT WIN32)
    list(JOIN AMPFX_SANITIZE "," _ampfx_san)
    add_compile_options(-fsanitize=${_ampfx_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${_ampfx_san})
endif()

# libFuzzer steers by the coverage of the code under test, which lives in the libraries a fuzz
# target links, not in the target's own file. The fuzz build instruments every file of the tree
# for coverage (the fuzzers alone link libFuzzer itself), so that no library a target reaches
# is blind to it.
if(AMPFX_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# The GoogleTest binaries of a label, so that a stage builds what it runs and no more:
#   cmake --build --preset host-tsan --target ampfx-tests-tsan
if(NOT TARGET ampfx-tests-tsan)
    add_custom_target(ampfx-tests-tsan)
endif()

# A GoogleTest binary registered with CTest under the given labels.
#   ampfx_add_gtest(name LABELS unit SOURCES a.cpp b.cpp LIBS lib1 lib2)
function(ampfx_add_gtest name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    ampfx_target_defaults(${name})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
    add_test(NAME ${name} COMMAND ${name})
    if(NOT ARG_LABELS)
        set(ARG_LABELS unit)
    endif()
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
    foreach(label IN LISTS ARG_LABELS)
        if(TARGET ampfx-tests-${label})
            add_dependencies(ampfx-tests-${label} ${name})
        endif()
    endforeach()
    if(ARG_TIMEOUT)
        set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
    endif()
endfunction()

# A Google Benchmark binary, labelled bench; the bench script runs these, the test command never,
# so they are built only on request: `cmake --build --preset host --target ampfx-benchmarks`.
if(NOT TARGET ampfx-benchmarks)
    add_custom_target(ampfx-benchmarks)
endif()
function(ampfx_add_benchmark name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} EXCLUDE_FROM_ALL ${ARG_SOURCES})
    ampfx_target_defaults(${name})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark)
    add_dependencies(ampfx-benchmarks ${name})
    add_test(NAME ${name} COMMAND ${name} --benchmark_counters_tabular=true)
    set_tests_properties(${name} PROPERTIES LABELS bench)
endfunction()

# A libFuzzer target, built only in the host-fuzz preset, run for AMPFX_FUZZ_SECONDS.
set(AMPFX_FUZZ_SECONDS 60 CACHE STRING "How long each fuzz target runs under CTest")
function(ampfx_add_fuzzer name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    if(NOT AMPFX_FUZZ)
        return()
    endif()
    add_executable(${name} ${ARG_SOURCES})
    ampfx_target_defaults(${name})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set(corpus ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
    file(MAKE_DIRECTORY ${corpus})
    add_test(NAME ${name}
             COMMAND ${name} -max_total_time=${AMPFX_FUZZ_SECONDS} -print_final_stats=1 ${corpus})
    set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 900)
    add_dependencies(ampfx-fuzzers ${name})
endfunction()

# Building every fuzz target at once: `cmake --build --preset host-fuzz --target ampfx-fuzzers`.
if(AMPFX_FUZZ AND NOT TARGET ampfx-fuzzers)
    add_custom_target(ampfx-fuzzers)
endif()
