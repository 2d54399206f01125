# Run by cpack once the files are staged (CPACK_TEMPORARY_DIRECTORY), before
# the packages are made: takes the compilers' notes (.comment) out of every
# ELF file, as Debian's own packaging does when it strips binaries.
find_program(OBJCOPY objcopy REQUIRED)
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(file IN LISTS staged)
  if(IS_SYMLINK "${file}")
    continue()
  endif()
  file(READ "${file}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    execute_process(COMMAND ${OBJCOPY} --remove-section=.comment "${file}"
                    RESULT_VARIABLE rc ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "objcopy --remove-section=.comment ${file}: ${err}")
    endif()
  endif()
endforeach()
