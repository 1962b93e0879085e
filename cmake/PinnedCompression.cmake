# zlib_static and zstd_static for the native build, compiled from the same
# released sources as the Windows libraries (scripts/bootstrap.sh unpacks
# them under .deps/src): the native xp3 tool then writes byte for byte the
# archives the Windows tool writes, and the native tests run the decoders the
# DLL links. The libraries themselves are built without sanitizers. Without
# those sources, the system's libraries are used and archives may differ.
# XP3PATCH_SYSTEM_COMPRESSION=ON takes the system's libraries even when the
# sources are there, so that the test command builds that path as well.
option(XP3PATCH_SYSTEM_COMPRESSION "Native build against the system's zlib and zstd" OFF)
set(XP3PATCH_ZLIB_SOURCE "${XP3PATCH_DEPS}/src/zlib-1.3.1")
set(XP3PATCH_ZSTD_SOURCE "${XP3PATCH_DEPS}/src/zstd-1.5.7")

if(NOT XP3PATCH_SYSTEM_COMPRESSION AND EXISTS "${XP3PATCH_ZLIB_SOURCE}/zlib.h"
   AND EXISTS "${XP3PATCH_ZSTD_SOURCE}/lib/zstd.h")
  set(XP3PATCH_PINNED_COMPRESSION ON)
  # zlib's own CMake build moves zconf.h aside when it builds out of tree.
  foreach(candidate zconf.h zconf.h.included zconf.h.in)
    if(EXISTS "${XP3PATCH_ZLIB_SOURCE}/${candidate}")
      configure_file("${XP3PATCH_ZLIB_SOURCE}/${candidate}"
                     "${CMAKE_BINARY_DIR}/pinned/zlib/zconf.h" COPYONLY)
      break()
    endif()
  endforeach()
  file(GLOB zlib_sources "${XP3PATCH_ZLIB_SOURCE}/*.c")
  add_library(zlib_static STATIC ${zlib_sources})
  target_include_directories(zlib_static SYSTEM BEFORE PUBLIC
    "${CMAKE_BINARY_DIR}/pinned/zlib" "${XP3PATCH_ZLIB_SOURCE}")
  target_compile_definitions(zlib_static PRIVATE HAVE_UNISTD_H _LARGEFILE64_SOURCE=1)
  target_compile_options(zlib_static PRIVATE -fno-sanitize=all -w)

  file(GLOB zstd_sources
    "${XP3PATCH_ZSTD_SOURCE}/lib/common/*.c"
    "${XP3PATCH_ZSTD_SOURCE}/lib/compress/*.c"
    "${XP3PATCH_ZSTD_SOURCE}/lib/decompress/*.c"
    "${XP3PATCH_ZSTD_SOURCE}/lib/legacy/*.c")
  add_library(zstd_static STATIC ${zstd_sources})
  target_include_directories(zstd_static SYSTEM BEFORE PUBLIC "${XP3PATCH_ZSTD_SOURCE}/lib")
  target_include_directories(zstd_static PRIVATE
    "${XP3PATCH_ZSTD_SOURCE}/lib/common" "${XP3PATCH_ZSTD_SOURCE}/lib/legacy")
  # Every legacy frame format, as in the Windows build; the C decoder rather
  # than its assembly variant.
  target_compile_definitions(zstd_static PUBLIC ZSTD_LEGACY_SUPPORT=1
    PRIVATE ZSTD_DISABLE_ASM=1 XXH_NAMESPACE=ZSTD_)
  target_compile_options(zstd_static PRIVATE -fno-sanitize=all -w)
else()
  set(XP3PATCH_PINNED_COMPRESSION OFF)
  if(XP3PATCH_SYSTEM_COMPRESSION)
    message(STATUS "zlib and zstd: the system's libraries (XP3PATCH_SYSTEM_COMPRESSION)")
  else()
    message(WARNING "zlib 1.3.1 / zstd 1.5.7 sources not found under ${XP3PATCH_DEPS}/src: "
                    "using the system's libraries (run scripts/bootstrap.sh for the pinned ones)")
  endif()
  find_package(ZLIB REQUIRED)
  find_library(ZSTD_LIBRARY zstd REQUIRED)
  find_path(ZSTD_INCLUDE_DIR zstd.h REQUIRED)
  add_library(zlib_static INTERFACE)
  target_link_libraries(zlib_static INTERFACE ZLIB::ZLIB)
  add_library(zstd_static INTERFACE)
  target_link_libraries(zstd_static INTERFACE ${ZSTD_LIBRARY})
  target_include_directories(zstd_static INTERFACE ${ZSTD_INCLUDE_DIR})
endif()
