# Finds BLAKE3's C library and provides the target BLAKE3::BLAKE3.
#
# Where the distribution ships libblake3 (Debian 13 and later) that library is
# used. Otherwise the C sources that Debian's librust-blake3-dev installs are
# compiled here, with the run-time SIMD dispatch and its assembly kernels.
# BLAKE3_SOURCE_DIR may point at such a source folder explicitly.

include(FindPackageHandleStandardArgs)

find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(PC_BLAKE3 QUIET libblake3)
endif()

find_path(BLAKE3_INCLUDE_DIR blake3.h HINTS ${PC_BLAKE3_INCLUDE_DIRS})
find_library(BLAKE3_LIBRARY NAMES blake3 HINTS ${PC_BLAKE3_LIBRARY_DIRS})

if(BLAKE3_INCLUDE_DIR AND BLAKE3_LIBRARY)
  set(BLAKE3_FROM_SOURCE OFF)
  find_package_handle_standard_args(BLAKE3 REQUIRED_VARS BLAKE3_LIBRARY BLAKE3_INCLUDE_DIR)
  if(BLAKE3_FOUND AND NOT TARGET BLAKE3::BLAKE3)
    add_library(BLAKE3::BLAKE3 UNKNOWN IMPORTED)
    set_target_properties(BLAKE3::BLAKE3 PROPERTIES
      IMPORTED_LOCATION "${BLAKE3_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${BLAKE3_INCLUDE_DIR}")
  endif()
  return()
endif()
unset(BLAKE3_INCLUDE_DIR CACHE)

if(NOT BLAKE3_SOURCE_DIR)
  file(GLOB _blake3_candidates LIST_DIRECTORIES true
       /usr/share/cargo/registry/blake3-*/c)
  if(_blake3_candidates)
    list(SORT _blake3_candidates COMPARE NATURAL ORDER DESCENDING)
    list(GET _blake3_candidates 0 BLAKE3_SOURCE_DIR)
  endif()
endif()

find_package_handle_standard_args(BLAKE3
  REQUIRED_VARS BLAKE3_SOURCE_DIR
  REASON_FAILURE_MESSAGE "install libblake3-dev, or librust-blake3-dev for its C sources")
if(NOT BLAKE3_FOUND OR TARGET BLAKE3::BLAKE3)
  return()
endif()
set(BLAKE3_FROM_SOURCE ON)

set(_b3 "${BLAKE3_SOURCE_DIR}")
set(_blake3_sources "${_b3}/blake3.c" "${_b3}/blake3_dispatch.c" "${_b3}/blake3_portable.c")
set(_blake3_defs "")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$" AND NOT WIN32)
  # Without the ASM language CMake drops the .S files silently and the link
  # fails later on the dispatch symbols.
  enable_language(ASM)
  list(APPEND _blake3_sources
    "${_b3}/blake3_sse2_x86-64_unix.S" "${_b3}/blake3_sse41_x86-64_unix.S"
    "${_b3}/blake3_avx2_x86-64_unix.S" "${_b3}/blake3_avx512_x86-64_unix.S")
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  list(APPEND _blake3_sources "${_b3}/blake3_neon.c")
  list(APPEND _blake3_defs BLAKE3_USE_NEON=1)
else()
  list(APPEND _blake3_defs BLAKE3_NO_SSE2 BLAKE3_NO_SSE41 BLAKE3_NO_AVX2 BLAKE3_NO_AVX512)
endif()

add_library(tarnel_blake3 STATIC ${_blake3_sources})
set_target_properties(tarnel_blake3 PROPERTIES POSITION_INDEPENDENT_CODE ON C_VISIBILITY_PRESET hidden)
target_include_directories(tarnel_blake3 SYSTEM PUBLIC "${_b3}")
target_compile_definitions(tarnel_blake3 PRIVATE ${_blake3_defs})
add_library(BLAKE3::BLAKE3 ALIAS tarnel_blake3)
