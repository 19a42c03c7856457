# The import check of host kernel images: what an image needs, imports and exports (see
# scripts/check_imports.py and the allow-lists in sim/imports/).

find_package(Python3 COMPONENTS Interpreter REQUIRED)

# vavedu_check_imports(<target> [EXPORTS symbol...] [EXPORTS_DEF file.def])
# Registers the ctest test imports.<target>. Skipped in the sanitizer and coverage builds, whose
# runtimes add their own symbols to every image.
function(vavedu_check_imports target)
  cmake_parse_arguments(C "" "EXPORTS_DEF" "EXPORTS" ${ARGN})
  if(VAVEDU_SANITIZE OR VAVEDU_COVERAGE)
    return()
  endif()
  set(args ${PROJECT_SOURCE_DIR}/scripts/check_imports.py $<TARGET_FILE:${target}>
      --lists ${PROJECT_SOURCE_DIR}/sim/imports
      --support-def ${PROJECT_SOURCE_DIR}/windows/ZaDar.def)
  if(C_EXPORTS)
    list(APPEND args --exports ${C_EXPORTS})
  endif()
  if(C_EXPORTS_DEF)
    list(APPEND args --exports-def ${C_EXPORTS_DEF})
  endif()
  add_test(NAME imports.${target} COMMAND ${Python3_EXECUTABLE} ${args})
endfunction()
