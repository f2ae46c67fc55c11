# The parts a plain configure may leave out, each decided once and announced in
# the configure output: the GoogleTest suites and the Python module.

# Tests: sets KELVARA_BUILD_TESTS; the caller enables testing in its own scope.
# KELVARA_BUILD_TESTS=ON requires GoogleTest, OFF leaves the tests out;
# unset, they follow BUILD_TESTING (on by default) when Kelvara is the top-level
# project and not built by pip, and are skipped when GoogleTest is missing.
function(kelvara_decide_tests)
  if(DEFINED KELVARA_BUILD_TESTS)
    set(wanted ${KELVARA_BUILD_TESTS})
    set(required REQUIRED)
  elseif(PROJECT_IS_TOP_LEVEL AND NOT SKBUILD)
    option(BUILD_TESTING "Build the tests" ON)
    set(wanted ${BUILD_TESTING})
    set(required "")
  else()
    set(wanted OFF)
  endif()
  set(build OFF)
  if(wanted)
    find_package(GTest ${required})
    if(GTest_FOUND)
      set(build ON)
      message(STATUS "Kelvara: building the tests (GoogleTest ${GTest_VERSION})")
    else()
      message(STATUS "Kelvara: GoogleTest not found, the tests are skipped (apt-get install libgtest-dev)")
    endif()
  else()
    message(STATUS "Kelvara: tests not requested")
  endif()
  set(KELVARA_BUILD_TESTS ${build} PARENT_SCOPE)
endfunction()

# The module: KELVARA_BUILD_PYTHON=ON (pip, make) requires a CPython 3.12+ with
# its headers, OFF leaves it out; unset, a top-level build makes it when one is
# found.
function(kelvara_decide_python)
  if(SKBUILD AND NOT DEFINED KELVARA_BUILD_PYTHON)
    set(KELVARA_BUILD_PYTHON ON)
  endif()
  if(DEFINED KELVARA_BUILD_PYTHON)
    set(wanted ${KELVARA_BUILD_PYTHON})
    set(required REQUIRED)
  else()
    set(wanted ${PROJECT_IS_TOP_LEVEL})
    set(required "")
  endif()
  set(build OFF)
  if(NOT SKBUILD)
    set(_kelvara_module_place ", in the build tree only: pip install . installs it")
  endif()
  if(wanted)
    find_package(Python 3.12 ${required} COMPONENTS Interpreter Development.Module)
    if(Python_FOUND)
      set(build ON)
      message(STATUS "Kelvara: building the Python module for ${Python_EXECUTABLE} (${Python_VERSION})"
                     "${_kelvara_module_place}")
    else()
      message(STATUS "Kelvara: no CPython 3.12+ with headers found, the Python module is not built "
                     "(-DKELVARA_BUILD_PYTHON=ON requires it, -DPython_EXECUTABLE=... picks one)")
    endif()
  else()
    message(STATUS "Kelvara: Python module not requested")
  endif()
  set(KELVARA_BUILD_PYTHON ${build} PARENT_SCOPE)
endfunction()
