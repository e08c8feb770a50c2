# Finds libsodium and defines the imported target Sodium::sodium.
#
#   set(Sodium_USE_STATIC_LIBS ON)   # take libsodium.a rather than the .so
#   find_package(Sodium REQUIRED)
#
# libsodium ships no CMake package. Debian installs it per architecture
# (libsodium-dev:<arch>) under /usr/lib/<triplet>, and CMake searches the
# triplet of the compiler in use (CMAKE_LIBRARY_ARCHITECTURE), so a cross
# build finds the target's copy, never the build machine's. The headers are
# the same for every architecture.

find_path(Sodium_INCLUDE_DIR sodium.h)
# Separate cache entries, so that switching Sodium_USE_STATIC_LIBS in an
# existing build directory does not keep the other kind.
if(Sodium_USE_STATIC_LIBS)
  find_library(Sodium_STATIC_LIBRARY NAMES libsodium.a)
  set(Sodium_LIBRARY "${Sodium_STATIC_LIBRARY}")
  set(_sodium_library_var Sodium_STATIC_LIBRARY)
else()
  find_library(Sodium_SHARED_LIBRARY NAMES sodium)
  set(Sodium_LIBRARY "${Sodium_SHARED_LIBRARY}")
  set(_sodium_library_var Sodium_SHARED_LIBRARY)
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Sodium
  REQUIRED_VARS ${_sodium_library_var} Sodium_INCLUDE_DIR
  REASON_FAILURE_MESSAGE
    "install libsodium-dev for the target architecture (libsodium-dev:<arch> for a cross build)")
unset(_sodium_library_var)

if(Sodium_FOUND AND NOT TARGET Sodium::sodium)
  add_library(Sodium::sodium UNKNOWN IMPORTED)
  set_target_properties(Sodium::sodium PROPERTIES
    IMPORTED_LOCATION "${Sodium_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${Sodium_INCLUDE_DIR}")
endif()
mark_as_advanced(Sodium_INCLUDE_DIR Sodium_STATIC_LIBRARY Sodium_SHARED_LIBRARY)
