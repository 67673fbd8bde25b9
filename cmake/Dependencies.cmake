# Every library and program the build and its tests use, looked up once, here.
# A missing one stops the configuration with the Debian package that provides
# it (scripts/install-deps installs them all). A part switched off needs
# nothing of its own: the tests (BUILD_TESTING), the benchmarks
# (DUNMARROW_BUILD_BENCH) and the LV2 plugin (DUNMARROW_BUILD_LV2).
#
# Imported targets made here are seen by every folder of the build:
# PkgConfig::JACK, ::SNDFILE, ::SOXR, ::CAIRO, ::PANGOCAIRO, ::FONTCONFIG,
# ::XLIB, ::CAIRO_XLIB, nlohmann_json::nlohmann_json, GTest::gtest and
# GTest::gmock (with the tests), benchmark::benchmark (with the benchmarks).
# Also set: LV2_INCLUDE_DIR (with the LV2 plugin), Python3_EXECUTABLE (a
# Python 3 with fontTools, with the tests).

# Stops the configuration: `what` was not found and the Debian package
# `package` provides it. Further arguments say how to do without it.
function(dunmarrow_missing what package)
  message(FATAL_ERROR "${what} was not found. Install the Debian package ${package} "
    "(./scripts/install-deps installs every package the build needs)${ARGN}.")
endfunction()

# The pkg-config module `module` as the imported target PkgConfig::<prefix>.
macro(dunmarrow_pkg_config prefix module package)
  pkg_check_modules(${prefix} QUIET IMPORTED_TARGET ${module})
  if(NOT ${prefix}_FOUND)
    dunmarrow_missing("The library ${module} (pkg-config module ${module})" ${package} ${ARGN})
  endif()
endmacro()

# A program the tests run, as the cache entry `variable`. Further arguments
# name the other switches that leave out the tests that run it.
function(dunmarrow_test_program variable program package)
  find_program(${variable} ${program})
  if(NOT ${variable})
    set(switches -DBUILD_TESTING=OFF ${ARGN})
    list(JOIN switches " or " switches)
    dunmarrow_missing("The program ${program}, which the tests run," ${package} ", or configure with ${switches}")
  endif()
endfunction()

# Sets `result` to whether the Python interpreter `candidate` imports fontTools
# (a find_program validator).
function(dunmarrow_python_has_fonttools result candidate)
  execute_process(COMMAND "${candidate}" -c "import fontTools"
    RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(status EQUAL 0)
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

find_package(Threads REQUIRED)
find_package(PkgConfig QUIET)
if(NOT PKG_CONFIG_FOUND)
  dunmarrow_missing("pkg-config" pkg-config)
endif()

# The platform layers.
find_package(nlohmann_json 3 QUIET)
if(NOT nlohmann_json_FOUND)
  dunmarrow_missing("nlohmann-json (CMake package nlohmann_json)" nlohmann-json3-dev)
endif()
dunmarrow_pkg_config(JACK jack libjack-jackd2-dev)
dunmarrow_pkg_config(SNDFILE sndfile libsndfile1-dev)
dunmarrow_pkg_config(SOXR soxr libsoxr-dev)
dunmarrow_pkg_config(CAIRO cairo libcairo2-dev)
dunmarrow_pkg_config(CAIRO_XLIB cairo-xlib libcairo2-dev)
dunmarrow_pkg_config(PANGOCAIRO pangocairo libpango1.0-dev)
dunmarrow_pkg_config(FONTCONFIG fontconfig libfontconfig-dev)
dunmarrow_pkg_config(XLIB x11 libx11-dev)

if(DUNMARROW_BUILD_LV2)
  find_path(LV2_INCLUDE_DIR lv2/core/lv2.h)
  if(NOT LV2_INCLUDE_DIR)
    dunmarrow_missing("The LV2 headers (lv2/core/lv2.h)" lv2-dev ", or configure with -DDUNMARROW_BUILD_LV2=OFF")
  endif()
endif()

if(DUNMARROW_BUILD_BENCH)
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    dunmarrow_missing("Google Benchmark (CMake package benchmark)" libbenchmark-dev
      ", or configure with -DDUNMARROW_BUILD_BENCH=OFF")
  endif()
endif()

if(BUILD_TESTING)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND OR NOT TARGET GTest::gtest)
    dunmarrow_missing("GoogleTest (CMake package GTest)" libgtest-dev ", or configure with -DBUILD_TESTING=OFF")
  endif()
  if(NOT TARGET GTest::gmock)
    dunmarrow_missing("GoogleMock (target GTest::gmock)" libgmock-dev ", or configure with -DBUILD_TESTING=OFF")
  endif()

  # Private servers the integration tests start, and the tools they inspect
  # the build's files with.
  dunmarrow_test_program(DUNMARROW_XVFB Xvfb xvfb)
  dunmarrow_test_program(DUNMARROW_JACKD jackd jackd2)
  if(NOT CMAKE_NM OR NOT CMAKE_READELF)
    dunmarrow_missing("nm or readelf, which the tests inspect modules with," binutils)
  endif()
  # The LV2 bundle as hosts and LV2's own checkers see it.
  if(DUNMARROW_BUILD_LV2)
    dunmarrow_test_program(DUNMARROW_LV2INFO lv2info lilv-utils -DDUNMARROW_BUILD_LV2=OFF)
    dunmarrow_test_program(DUNMARROW_LV2LS lv2ls lilv-utils -DDUNMARROW_BUILD_LV2=OFF)
    dunmarrow_test_program(DUNMARROW_LV2APPLY lv2apply lilv-utils -DDUNMARROW_BUILD_LV2=OFF)
    dunmarrow_test_program(DUNMARROW_SORD_VALIDATE sord_validate sordi -DDUNMARROW_BUILD_LV2=OFF)
    dunmarrow_test_program(DUNMARROW_SORDI sordi sordi -DDUNMARROW_BUILD_LV2=OFF)
    dunmarrow_test_program(DUNMARROW_LV2FILE lv2file lv2file -DDUNMARROW_BUILD_LV2=OFF)
    dunmarrow_test_program(DUNMARROW_JALV jalv jalv -DDUNMARROW_BUILD_LV2=OFF)
  endif()
  # Value texts in a locale with a decimal comma: the test compiles one.
  dunmarrow_test_program(DUNMARROW_LOCALEDEF localedef libc-bin)
  if(NOT EXISTS /usr/share/i18n/locales/de_DE)
    dunmarrow_missing("The locale sources (/usr/share/i18n/locales), from which a test compiles a locale,"
      locales ", or configure with -DBUILD_TESTING=OFF")
  endif()

  # The display font's check runs on a Python 3 that has fontTools. Debian's
  # python3-fonttools serves Debian's Python, which need not be the first
  # python3 on PATH (a version manager's may come first), so the first one
  # that imports fontTools is taken, unless Python3_EXECUTABLE names one.
  if(NOT Python3_EXECUTABLE)
    find_program(DUNMARROW_FONTTOOLS_PYTHON python3 VALIDATOR dunmarrow_python_has_fonttools)
    if(DUNMARROW_FONTTOOLS_PYTHON)
      set(Python3_EXECUTABLE ${DUNMARROW_FONTTOOLS_PYTHON})
    endif()
  endif()
  find_package(Python3 COMPONENTS Interpreter QUIET)
  if(NOT Python3_Interpreter_FOUND)
    dunmarrow_missing("Python 3" python3 ", or configure with -DBUILD_TESTING=OFF")
  endif()
  dunmarrow_python_has_fonttools(has_fonttools ${Python3_EXECUTABLE})
  if(NOT has_fonttools)
    dunmarrow_missing("The Python module fontTools (for ${Python3_EXECUTABLE})" python3-fonttools
      ", or configure with -DBUILD_TESTING=OFF")
  endif()
endif()
