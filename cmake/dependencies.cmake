# Finds (or, for the distributable wheel, builds) the dependencies, and stops
# or warns with the package names when something is missing. Defines the
# targets OpenSSL::Crypto, ICU::uc and hwy::hwy, and turns QUORVANE_BUILD_CLI off with a
# warning when CLI11 or nlohmann/json is missing.
#
# QUORVANE_STATIC_DEPS=ON (scripts/wheel) links everything into the module
# and the CLI instead of using the system's shared libraries:
#   ICU       its common library compiled here from QUORVANE_ICU_SOURCE_DIR
#             (ICU's source/ folder), position-independent, hidden symbols,
#             with the stub data library: NFC's tables are compiled into the
#             common library, so ICU's data library is left out.
#   Highway   its run-time dispatch compiled here from QUORVANE_HWY_SOURCE_DIR,
#             position-independent, hidden symbols.
#   OpenSSL   the system's libcrypto.a (QUORVANE_STATIC_CRYPTO), or that of
#             another architecture's packages unpacked under
#             QUORVANE_OPENSSL_ROOT, of which the linker takes only the SHA-2
#             objects; its headers are copied into the build folder so no
#             other system header is on the path.
#   CLI11, nlohmann/json  header-only; their headers are copied there too.
# The extension module exports PyInit_quorvane and nothing else, so neither
# library's symbols can clash with another copy in the same process.
#
# A further static dependency: build it here as a STATIC library target with
# POSITION_INDEPENDENT_CODE and hidden visibility (from the source of Debian's
# package, which scripts/wheel fetches, when Debian's .a is not PIC or is C++
# built against another standard library), give it the name the non-static
# path's find_package defines, and pass its source folder from scripts/wheel.

include(CheckCXXSourceCompiles)

# std::expected is in every public header.
set(CMAKE_REQUIRED_FLAGS "${CMAKE_CXX_FLAGS} -std=c++2b")
check_cxx_source_compiles([=[
#include <expected>
#if !defined(__cpp_lib_expected) || __cpp_lib_expected < 202202L
#error no std::expected
#endif
int main() { std::expected<int, int> e{1}; return *e - 1; }
]=] QUORVANE_HAVE_STD_EXPECTED)
unset(CMAKE_REQUIRED_FLAGS)
if(NOT QUORVANE_HAVE_STD_EXPECTED)
  message(FATAL_ERROR "quorvane needs a C++23 standard library with std::expected: "
    "g++ 12+, or clang 16+ with libc++ 16+ (found ${CMAKE_CXX_COMPILER_ID} "
    "${CMAKE_CXX_COMPILER_VERSION}; choose another with CXX=... or -DCMAKE_CXX_COMPILER=...)")
endif()

option(QUORVANE_STATIC_DEPS "Link ICU's common library and OpenSSL's SHA-2 statically (the distributable wheel)" OFF)

if(QUORVANE_STATIC_DEPS)
  set(QUORVANE_ICU_SOURCE_DIR "" CACHE PATH "ICU's source/ folder (from Debian's icu source package)")
  if(NOT EXISTS ${QUORVANE_ICU_SOURCE_DIR}/common/unicode/uversion.h)
    message(FATAL_ERROR "QUORVANE_STATIC_DEPS needs QUORVANE_ICU_SOURCE_DIR, ICU's source/ folder "
      "(scripts/wheel fetches Debian's source package of icu)")
  endif()
  file(GLOB _icu_common CONFIGURE_DEPENDS ${QUORVANE_ICU_SOURCE_DIR}/common/*.cpp)
  add_library(quorvane_icuuc STATIC ${_icu_common} ${QUORVANE_ICU_SOURCE_DIR}/stubdata/stubdata.cpp)
  target_include_directories(quorvane_icuuc SYSTEM PUBLIC ${QUORVANE_ICU_SOURCE_DIR}/common)
  target_include_directories(quorvane_icuuc PRIVATE ${QUORVANE_ICU_SOURCE_DIR}/stubdata)
  # U_STATIC_IMPLEMENTATION leaves ICU's API without a visibility attribute,
  # so the hidden default below applies to all of it. No plugins, no dlopen.
  target_compile_definitions(quorvane_icuuc
    PUBLIC U_STATIC_IMPLEMENTATION
    PRIVATE U_COMMON_IMPLEMENTATION U_ENABLE_DYLOAD=0)
  target_compile_options(quorvane_icuuc PRIVATE -w)
  set_target_properties(quorvane_icuuc PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_STANDARD 17
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  find_package(Threads REQUIRED)
  target_link_libraries(quorvane_icuuc PUBLIC Threads::Threads)
  add_library(ICU::uc ALIAS quorvane_icuuc)
  set(QUORVANE_ICU_UNICODE_VERSION_SOURCE ${QUORVANE_ICU_SOURCE_DIR}/common/unicode/uchar.h)

  # libcrypto.a and OpenSSL's headers: the system's, or those of another
  # architecture's packages unpacked under QUORVANE_OPENSSL_ROOT (a folder
  # holding usr/, as `dpkg-deb -x` leaves it). Each of the three paths can
  # also be given by itself.
  set(QUORVANE_OPENSSL_ROOT "" CACHE PATH
    "Folder holding usr/lib/<arch>-linux-gnu/libcrypto.a and usr/include/openssl (empty: the system's)")
  set(_multiarch ${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)
  set(_usr ${QUORVANE_OPENSSL_ROOT}/usr)
  find_library(QUORVANE_STATIC_CRYPTO NAMES libcrypto.a
    PATHS ${_usr}/lib/${_multiarch} ${_usr}/lib64 ${_usr}/lib NO_DEFAULT_PATH)
  find_path(QUORVANE_OPENSSL_INCLUDE_DIR openssl/sha.h PATHS ${_usr}/include NO_DEFAULT_PATH)
  find_path(QUORVANE_OPENSSL_CONF_INCLUDE_DIR openssl/configuration.h
    PATHS ${_usr}/include/${_multiarch} ${_usr}/include NO_DEFAULT_PATH)
  if(NOT QUORVANE_STATIC_CRYPTO OR NOT QUORVANE_OPENSSL_INCLUDE_DIR OR NOT QUORVANE_OPENSSL_CONF_INCLUDE_DIR)
    message(FATAL_ERROR "QUORVANE_STATIC_DEPS needs OpenSSL 3's static libcrypto and headers "
      "for ${CMAKE_SYSTEM_PROCESSOR}: Debian/Ubuntu libssl-dev, Fedora openssl-devel "
      "(+ openssl-static); or QUORVANE_OPENSSL_ROOT, or QUORVANE_STATIC_CRYPTO, "
      "QUORVANE_OPENSSL_INCLUDE_DIR and QUORVANE_OPENSSL_CONF_INCLUDE_DIR")
  endif()
  set(_staged ${PROJECT_BINARY_DIR}/static-deps/include)
  file(GLOB _openssl_headers ${QUORVANE_OPENSSL_INCLUDE_DIR}/openssl/*.h
    ${QUORVANE_OPENSSL_CONF_INCLUDE_DIR}/openssl/*.h)
  file(COPY ${_openssl_headers} DESTINATION ${_staged}/openssl)
  add_library(OpenSSL::Crypto STATIC IMPORTED)
  # The extension module exports its init function only.
  string(APPEND CMAKE_MODULE_LINKER_FLAGS " -Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/module-exports.map")
  set_target_properties(OpenSSL::Crypto PROPERTIES
    IMPORTED_LOCATION ${QUORVANE_STATIC_CRYPTO}
    INTERFACE_INCLUDE_DIRECTORIES ${_staged})
else()
  find_package(OpenSSL 3 COMPONENTS Crypto)
  if(NOT OpenSSL_FOUND)
    message(FATAL_ERROR "quorvane needs OpenSSL 3's libcrypto and headers: "
      "Debian/Ubuntu libssl-dev, Fedora openssl-devel, Homebrew openssl@3 "
      "(then -DOPENSSL_ROOT_DIR=$(brew --prefix openssl@3))")
  endif()
  find_package(ICU COMPONENTS uc)
  if(NOT ICU_FOUND)
    message(FATAL_ERROR "quorvane needs ICU's common library and headers: "
      "Debian/Ubuntu libicu-dev, Fedora libicu-devel, Homebrew icu4c "
      "(then -DICU_ROOT=$(brew --prefix icu4c))")
  endif()
  find_file(QUORVANE_ICU_UNICODE_VERSION_SOURCE unicode/uchar.h HINTS ${ICU_INCLUDE_DIRS} NO_CACHE)
endif()

# Google Highway (hwy::hwy): SIMD with the instruction set chosen at run
# time. The wheel compiles its run-time dispatch from Highway's source
# (Debian's libhwy-dev has no static library).
if(QUORVANE_STATIC_DEPS)
  set(QUORVANE_HWY_SOURCE_DIR "" CACHE PATH "Highway's source tree (from Debian's highway source package)")
  if(NOT EXISTS ${QUORVANE_HWY_SOURCE_DIR}/hwy/highway.h)
    message(FATAL_ERROR "QUORVANE_STATIC_DEPS needs QUORVANE_HWY_SOURCE_DIR, Highway's source "
      "tree (scripts/wheel fetches Debian's source package of highway)")
  endif()
  set(_hwy ${QUORVANE_HWY_SOURCE_DIR}/hwy)
  add_library(quorvane_hwy STATIC ${_hwy}/aligned_allocator.cc ${_hwy}/per_target.cc
    ${_hwy}/print.cc ${_hwy}/targets.cc)
  target_include_directories(quorvane_hwy SYSTEM PUBLIC ${QUORVANE_HWY_SOURCE_DIR})
  # No export attribute on Highway's API: the hidden default applies.
  target_compile_definitions(quorvane_hwy PUBLIC HWY_STATIC_DEFINE)
  target_compile_options(quorvane_hwy PRIVATE -w)
  set_target_properties(quorvane_hwy PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_STANDARD 17
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  add_library(hwy::hwy ALIAS quorvane_hwy)
else()
  find_package(hwy CONFIG QUIET)
  if(NOT hwy_FOUND)
    message(FATAL_ERROR "quorvane needs Google Highway: Debian/Ubuntu libhwy-dev, "
      "Fedora highway-devel, Homebrew highway")
  endif()
endif()

# The Unicode version of the NFC data decides the digest of a text with
# characters whose normalisation changed or that were newly assigned.
set(QUORVANE_UNICODE_VERSION 15.0)
if(QUORVANE_ICU_UNICODE_VERSION_SOURCE)
  file(STRINGS ${QUORVANE_ICU_UNICODE_VERSION_SOURCE} _uv REGEX "^#define U_UNICODE_VERSION \"")
  string(REGEX REPLACE ".*\"([0-9.]+)\".*" "\\1" _uv "${_uv}")
  if(_uv AND NOT _uv VERSION_EQUAL QUORVANE_UNICODE_VERSION)
    message(WARNING "This ICU normalises with Unicode ${_uv}; quorvane's wheels use Unicode "
      "${QUORVANE_UNICODE_VERSION}. Digests of texts with characters whose NFC differs between "
      "the two versions will differ from those of the wheel (see docs/unicode.md).")
  endif()
endif()

if(QUORVANE_BUILD_CLI)
  find_package(CLI11 2 CONFIG QUIET)
  find_package(nlohmann_json 3 CONFIG QUIET)
  if(NOT CLI11_FOUND OR NOT nlohmann_json_FOUND)
    message(WARNING "Building without the quorvane command-line tool: it needs CLI11 and "
      "nlohmann/json (Debian/Ubuntu libcli11-dev nlohmann-json3-dev, Fedora cli11-devel "
      "json-devel, Homebrew cli11 nlohmann-json). The Python module and the C++ libraries "
      "do not need them. -DQUORVANE_BUILD_CLI=OFF (pip: -C cmake.define.QUORVANE_BUILD_CLI=OFF) "
      "leaves the tool out without this warning.")
    set(QUORVANE_BUILD_CLI OFF)
  elseif(QUORVANE_STATIC_DEPS)
    # Both are header-only. Their headers are copied into the build folder
    # like OpenSSL's, so that the folder they were found in (the system's
    # /usr/include, with its glibc and other libraries' headers) is not on
    # the compile line of a build for another glibc or architecture.
    foreach(_dep CLI11::CLI11:CLI nlohmann_json::nlohmann_json:nlohmann)
      string(REGEX MATCH "^(.*):([^:]+)$" _ ${_dep})
      set(_target ${CMAKE_MATCH_1})
      set(_subdir ${CMAKE_MATCH_2})
      get_target_property(_dirs ${_target} INTERFACE_INCLUDE_DIRECTORIES)
      set(_found "")
      foreach(_dir IN LISTS _dirs)
        if(NOT _found AND IS_DIRECTORY ${_dir}/${_subdir})
          set(_found ${_dir}/${_subdir})
        endif()
      endforeach()
      if(NOT _found)
        message(FATAL_ERROR "${_target}: no ${_subdir}/ folder in its include directories (${_dirs})")
      endif()
      file(COPY ${_found} DESTINATION ${_staged})
      set_target_properties(${_target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_staged})
    endforeach()
  endif()
endif()
