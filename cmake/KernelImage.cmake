# Kernel code (the driver and the support library) builds for the host as shared objects that the
# platform model loads with dlopen. They are built as kernel code is: no exceptions, no RTTI, no
# C++ runtime, no static constructors, no thread-safe statics, only the routines the platform
# exports (checked by the import check).

set(VAVEDU_KERNEL_COMPILE_OPTIONS
    -std=gnu++17 -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-stack-protector -fno-use-cxa-atexit
)
# GCC marks some inline statics STB_GNU_UNIQUE, which would keep an image mapped after dlclose;
# clang never emits such symbols (and has no such option).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND VAVEDU_KERNEL_COMPILE_OPTIONS -fno-gnu-unique)
endif()

set(VAVEDU_PLATFORM_INCLUDE ${PROJECT_SOURCE_DIR}/sim/include)

# vavedu_kernel_image(<target> SOURCES ... [EXPORTS symbol...] [EXPORTS_DEF file.def]
#                     [IMPORTS target...])
# Builds lib<target>.so exporting only the listed symbols (or those of a .def file), importing
# from the model's kernel (libntoskrnl.so) and the listed kernel images.
function(vavedu_kernel_image target)
  cmake_parse_arguments(K "" "EXPORTS_DEF" "SOURCES;EXPORTS;IMPORTS" ${ARGN})
  add_library(${target} SHARED ${K_SOURCES})
  target_compile_options(${target} PRIVATE ${VAVEDU_KERNEL_COMPILE_OPTIONS})
  target_include_directories(${target} SYSTEM PRIVATE ${VAVEDU_PLATFORM_INCLUDE})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.exports.map)
  set(names ${K_EXPORTS})
  if(K_EXPORTS_DEF)
    file(STRINGS ${K_EXPORTS_DEF} def_lines)
    set(in_exports FALSE)
    foreach(line IN LISTS def_lines)
      string(STRIP "${line}" line)
      if(line MATCHES "^EXPORTS")
        set(in_exports TRUE)
      elseif(in_exports AND line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)")
        list(APPEND names ${CMAKE_MATCH_1})
      endif()
    endforeach()
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${K_EXPORTS_DEF})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${K_EXPORTS_DEF})
  endif()
  list(JOIN names ";\n    " joined)
  file(WRITE ${script} "{\n  global:\n    ${joined};\n  local: *;\n};\n")
  target_link_options(${target} PRIVATE -nostdlib -Wl,--version-script=${script}
                      -Wl,--no-undefined-version)
  target_link_libraries(${target} PRIVATE ntoskrnl ${K_IMPORTS} gcc)
  if(VAVEDU_COVERAGE)
    # -nostdlib drops the counters' runtime: each image carries its own copy of it, which writes
    # the image's counters when the image is unloaded.
    target_link_libraries(${target} PRIVATE gcov)
  endif()
  set_target_properties(${target} PROPERTIES BUILD_RPATH "$ORIGIN" LINK_DEPENDS ${script})
endfunction()
