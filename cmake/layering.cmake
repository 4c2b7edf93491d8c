# The tool is built as one static library per subsystem, each in its own
# folder under src/. They are stacked in this order, from the bottom up; a
# subsystem may use only subsystems below it.
set(TANDREL_LAYERS platform crypto config container cli)

set(TANDREL_INCLUDE_CHECK ${CMAKE_CURRENT_LIST_DIR}/check-includes.cmake)

# tandrel_subsystem(<name> [USES <subsystem>...] SOURCES <file>...)
#
# Makes the library tandrel_<name> from the files of src/<name>, linked to the
# subsystems it uses. Every header lives under the one include root src/, so
# the compiler alone would let any file include any header; instead the build
# reads the #include lines of every file in the folder and fails when one
# names a subsystem that is not <name> itself or one of those it uses.
function(tandrel_subsystem name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "USES;SOURCES")
  list(FIND TANDREL_LAYERS ${name} level)
  if(level EQUAL -1)
    message(FATAL_ERROR "${name} is not one of the subsystems: ${TANDREL_LAYERS}")
  endif()
  foreach(used IN LISTS arg_USES)
    list(FIND TANDREL_LAYERS ${used} usedLevel)
    if(usedLevel EQUAL -1 OR usedLevel GREATER_EQUAL level)
      string(REPLACE ";" ", " order "${TANDREL_LAYERS}")
      message(FATAL_ERROR "${name} may not use ${used}: only subsystems below it, "
                          "from the bottom up ${order}")
    endif()
  endforeach()

  add_library(tandrel_${name} STATIC ${arg_SOURCES})
  target_include_directories(tandrel_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(tandrel_${name} PUBLIC tandrel_options)
  foreach(used IN LISTS arg_USES)
    target_link_libraries(tandrel_${name} PUBLIC tandrel_${used})
  endforeach()

  # Every file of the folder is checked, also those only the other operating
  # system compiles.
  file(GLOB files CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  string(REPLACE ";" "," layers "${TANDREL_LAYERS}")
  string(REPLACE ";" "," allowed "${arg_USES}")
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/includes_checked.stamp)
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DSUBSYSTEM=${name} -DUSES=${allowed} -DLAYERS=${layers}
            -DFOLDER=${CMAKE_CURRENT_SOURCE_DIR} -DSTAMP=${stamp} -P ${TANDREL_INCLUDE_CHECK}
    DEPENDS ${files} ${TANDREL_INCLUDE_CHECK}
    COMMENT "Checking that ${name} includes only what it uses"
    VERBATIM)
  add_custom_target(tandrel_${name}_includes DEPENDS ${stamp})
  add_dependencies(tandrel_${name} tandrel_${name}_includes)
endfunction()
