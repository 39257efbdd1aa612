# tarnu_core_sources(<variable> <root>): the .cpp files of the core folders
# that <root>/src/core_folders.txt lists. Comment lines start with '#'; a
# line may name several folders. A change to the list reconfigures.
function(tarnu_core_sources variable root)
  set(list_file ${root}/src/core_folders.txt)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${list_file})
  file(STRINGS ${list_file} lines REGEX "^[a-z_ ]+$")
  string(REPLACE " " ";" folders "${lines}")
  set(globs)
  foreach(folder IN LISTS folders)
    list(APPEND globs ${root}/src/${folder}/*.cpp)
  endforeach()
  file(GLOB sources CONFIGURE_DEPENDS ${globs})
  set(${variable} ${sources} PARENT_SCOPE)
endfunction()
