# vtr_module(<target> DIR <dir> SOURCES <file>... [POSIX <file>...] [WINDOWS <file>...]
#            [DEPS <lib>...] [PRIVATE_DEPS <lib>...])
# A static library from the named sources of <dir>: SOURCES on every system,
# POSIX on Linux only, WINDOWS on Windows only. DEPS are what its headers
# expose to its users, PRIVATE_DEPS what only its sources use. Its include root is a
# folder of its own in the build tree that holds only <dir> (as a link), so
# "<dir>/X.h" resolves for this module and for modules that link it, and for
# no other. On Windows a module named in VTR_WINDOWS_PENDING, or one that
# needs a module that is not there, is left out.
function(vtr_module target)
  cmake_parse_arguments(M "" "DIR" "SOURCES;POSIX;WINDOWS;DEPS;PRIVATE_DEPS" ${ARGN})
  if(WIN32)
    if(target IN_LIST VTR_WINDOWS_PENDING)
      return()
    endif()
    foreach(dep IN LISTS M_DEPS M_PRIVATE_DEPS)
      if(dep MATCHES "^vtr_" AND NOT TARGET ${dep})
        return()
      endif()
    endforeach()
    list(APPEND M_SOURCES ${M_WINDOWS})
  else()
    list(APPEND M_SOURCES ${M_POSIX})
  endif()
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  get_filename_component(parent ${root}/${M_DIR} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  if(NOT EXISTS ${root}/${M_DIR})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${M_DIR} ${root}/${M_DIR} SYMBOLIC)
  endif()
  list(TRANSFORM M_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/${M_DIR}/)
  add_library(${target} STATIC ${M_SOURCES})
  target_include_directories(${target} PUBLIC ${root})
  target_link_libraries(${target} PUBLIC ${M_DEPS} PRIVATE ${M_PRIVATE_DEPS})
endfunction()

# vtr_build_info(<target>): compiles into <target> the definitions of
# app/BuildInfo.h, which cmake/Revision.cmake writes at every build.
function(vtr_build_info target)
  set(out ${CMAKE_BINARY_DIR}/generated/BuildInfo.cpp)
  set(args -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DOUTPUT=${out} -DVERSION=${PROJECT_VERSION}
           -DREVISION=${VTR_REVISION} -P ${CMAKE_SOURCE_DIR}/cmake/Revision.cmake)
  # Once now, so that the file exists before the first build.
  execute_process(COMMAND ${CMAKE_COMMAND} ${args})
  add_custom_target(${target}_build_info COMMAND ${CMAKE_COMMAND} ${args} BYPRODUCTS ${out}
                    VERBATIM)
  target_sources(${target} PRIVATE ${out})
  add_dependencies(${target} ${target}_build_info)
endfunction()

# Paths that tests use to find the programs they run.
function(vtr_test_paths target)
  if(TARGET vtr232)
    target_compile_definitions(${target} PRIVATE VTR232_PATH="$<TARGET_FILE:vtr232>")
  endif()
  target_compile_definitions(${target} PRIVATE
    VTR_TOOLS_DIR="${CMAKE_BINARY_DIR}/tools"
    VTR_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    VTR_BINARY_DIR="${CMAKE_BINARY_DIR}"
    VTR_PROJECT_VERSION="${PROJECT_VERSION}"
    VTR_CMAKE_COMMAND="${CMAKE_COMMAND}"
    VTR_CPACK_COMMAND="${CMAKE_CPACK_COMMAND}")
endfunction()

function(vtr_tools)
  file(GLOB dirs LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/*)
  foreach(dir IN LISTS dirs)
    if(IS_DIRECTORY ${dir})
      get_filename_component(name ${dir} NAME)
      file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
      if(sources)
        add_executable(${name} ${sources})
        # A LIBS file in the tool's folder names the libraries it needs.
        set(libs vtr_app)
        if(EXISTS ${dir}/LIBS)
          file(STRINGS ${dir}/LIBS libs)
        endif()
        target_link_libraries(${name} PRIVATE ${libs})
        set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
        list(APPEND VTR_TOOL_TARGETS ${name})
      endif()
    endif()
  endforeach()
  set(VTR_TOOL_TARGETS ${VTR_TOOL_TARGETS} PARENT_SCOPE)
endfunction()

# tools/quic_peer, a QUIC peer built on quic-go, for the interop tests. It is
# built offline from Debian's Go packages (golang-go,
# golang-github-lucas-clemente-quic-go-dev); without them there is no target
# and the interop tests skip.
set(VTR_GOPATH /usr/share/gocode CACHE PATH "Where Debian's Go packages keep their sources")
function(vtr_go_quic_peer)
  find_program(VTR_GO go)
  if(NOT VTR_GO OR NOT EXISTS ${VTR_GOPATH}/src/github.com/lucas-clemente/quic-go/client.go)
    message(STATUS "quic_peer: not built (needs go and quic-go); the QUIC interop tests skip")
    return()
  endif()
  set(source ${CMAKE_SOURCE_DIR}/tools/quic_peer/main.go)
  set(peer ${CMAKE_BINARY_DIR}/tools/quic_peer)
  add_custom_command(OUTPUT ${peer}
    COMMAND ${CMAKE_COMMAND} -E env GOPATH=${VTR_GOPATH} GO111MODULE=off GOFLAGS=
            GOCACHE=${CMAKE_BINARY_DIR}/go-cache CGO_ENABLED=0
            ${VTR_GO} build -o ${peer} ${source}
    DEPENDS ${source}
    COMMENT "Building the QUIC interop peer (quic-go)"
    VERBATIM)
  add_custom_target(quic_peer ALL DEPENDS ${peer})
endfunction()

# Every folder under tests/ is one GoogleTest executable, test_<folder>.
function(vtr_tests)
  file(GLOB dirs LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*)
  foreach(dir IN LISTS dirs)
    if(IS_DIRECTORY ${dir})
      get_filename_component(name ${dir} NAME)
      file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${dir}/*.cpp)
      if(WIN32)
        # A WINDOWS file in the folder names the sources that run on Windows
        # (under Wine); a folder without one, or whose module is not built,
        # has no Windows test program.
        if(NOT EXISTS ${dir}/WINDOWS OR NOT TARGET vtr_${name})
          continue()
        endif()
        file(STRINGS ${dir}/WINDOWS sources REGEX "^[^#]")
        list(TRANSFORM sources PREPEND ${dir}/)
      endif()
      if(sources)
        add_executable(test_${name} ${sources})
        # tests/<module> links vtr_<module> only, so modules build and test on
        # their own; tests/cli and tests/app drive the whole program.
        if(TARGET vtr_${name} AND NOT name STREQUAL "app")
          set(lib vtr_${name})
        else()
          set(lib vtr_app)
          add_dependencies(test_${name} vtr232 ${VTR_TOOL_TARGETS} ${VTR_INSTALL_TARGETS})
        endif()
        # The platform layer too: the shared test support (tests/support) uses it.
        target_link_libraries(test_${name} PRIVATE ${lib} vtr_platform GTest::gtest GTest::gtest_main
                              GTest::gmock)
        target_include_directories(test_${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
        if(name STREQUAL "quic" AND TARGET quic_peer)
          add_dependencies(test_${name} quic_peer)
        endif()
        vtr_test_paths(test_${name})
        if(WIN32)
          # Listed when ctest runs, so that building needs no Wine.
          gtest_discover_tests(test_${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                               PROPERTIES TIMEOUT 120)
        else()
          gtest_discover_tests(test_${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
        endif()
      endif()
    endif()
  endforeach()
endfunction()

function(vtr_benchmarks)
  find_package(benchmark REQUIRED)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
  foreach(src IN LISTS sources)
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE vtr_app benchmark::benchmark)
    # The child process support of the tests.
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    vtr_test_paths(${name})
  endforeach()
endfunction()

# vtr_fuzzer(<target> [SEEDS] SOURCES <fuzz/ file>... LIBS <lib>... [INCLUDES <module>...])
# A libFuzzer program from sources under fuzz/, or with SEEDS a plain program
# (the seed writer) built the same way. INCLUDES names modules whose headers
# it sees without linking their library (their sources are compiled in).
function(vtr_fuzzer target)
  cmake_parse_arguments(F "SEEDS" "" "SOURCES;LIBS;INCLUDES" ${ARGN})
  list(TRANSFORM F_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/fuzz/)
  add_executable(${target} ${F_SOURCES})
  target_link_libraries(${target} PRIVATE ${F_LIBS})
  foreach(module IN LISTS F_INCLUDES)
    target_include_directories(${target} PRIVATE ${CMAKE_BINARY_DIR}/include/${module})
  endforeach()
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/fuzz)
  if(NOT F_SEEDS)
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
  endif()
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
endfunction()
