# km7_subsystem(<target> [PREFIX <name>] <sources>...)
#
# A static library of the folder that calls it, whose headers others reach as
# "<name>/Header.h" (name: the folder's own name unless PREFIX says otherwise).
#
# The library's include folder is one of its own in the build tree,
# <build>/include/<name>/, holding nothing but a link <name> -> this folder.
# It is exported PUBLIC, so a target sees "<name>/..." only when it links the
# library, directly or through another library's PUBLIC link: including a
# layer that is not linked fails to compile. Never add src/ itself (or any
# folder above a library) as an include folder; that would open every layer
# to everyone.
#
# A folder may hold several libraries (say km7_alarms beside a widget-free
# km7_alarms_core): each calls this and they share the folder's include link.
# scripts/check-layers.py checks which libraries may link which, from what
# km7_write_link_graph() below writes.
function(km7_subsystem target)
  cmake_parse_arguments(L "" "PREFIX" "" ${ARGN})
  set(name ${L_PREFIX})
  if(NOT name)
    get_filename_component(name "${CMAKE_CURRENT_SOURCE_DIR}" NAME)
  endif()
  get_property(owner GLOBAL PROPERTY KM7_INCLUDE_OWNER_${name})
  if(owner AND NOT owner STREQUAL CMAKE_CURRENT_SOURCE_DIR)
    message(FATAL_ERROR "km7_subsystem(${target}): the include name \"${name}\" "
                        "already belongs to ${owner}")
  endif()
  set_property(GLOBAL PROPERTY KM7_INCLUDE_OWNER_${name} "${CMAKE_CURRENT_SOURCE_DIR}")

  set(root ${CMAKE_BINARY_DIR}/include/${name})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${name} SYMBOLIC)
  add_library(${target} STATIC ${L_UNPARSED_ARGUMENTS})
  target_include_directories(${target} PUBLIC ${root})
endfunction()

# km7_write_link_graph(<file>)
#
# At the end of the configure step, writes every target of the project as
# CMake knows it (its folder, type, include folders and what it links,
# imported targets such as Qt6::Widgets included) to <file> as JSON.
# scripts/check-layers.py reads it: a link made from another folder's
# CMakeLists.txt, through a variable or by link_libraries() counts as much as
# one written beside the library.
function(km7_write_link_graph file)
  # A deferred call reads its arguments when it runs: the file name goes in now.
  cmake_language(EVAL CODE
    "cmake_language(DEFER DIRECTORY \"${CMAKE_SOURCE_DIR}\" CALL _km7_write_link_graph_now \"${file}\")")
endfunction()

# The targets defined in a folder and the folders below it.
function(_km7_targets_below directory out)
  get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirectories DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    _km7_targets_below(${subdirectory} more)
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# A CMake list as a JSON array of strings.
function(_km7_json_array out)
  set(json "[]")
  set(i 0)
  foreach(item IN LISTS ARGN)
    string(REPLACE "\\" "\\\\" item "${item}")
    string(REPLACE "\"" "\\\"" item "${item}")
    string(JSON json SET "${json}" ${i} "\"${item}\"")
    math(EXPR i "${i} + 1")
  endforeach()
  set(${out} "${json}" PARENT_SCOPE)
endfunction()

function(_km7_write_link_graph_now graph_file)
  _km7_targets_below(${CMAKE_SOURCE_DIR} targets)
  set(json "{}")
  set(seen "")
  # A worklist: the imported targets that something links join it, so that
  # Qt6::Widgets is written with what it links in turn.
  while(targets)
    list(POP_FRONT targets t)
    if(t IN_LIST seen OR NOT TARGET ${t})
      continue()  # imported in a folder below, seen from there only; its name is in the links
    endif()
    list(APPEND seen ${t})
    get_target_property(type ${t} TYPE)
    get_target_property(imported ${t} IMPORTED)
    set(links "")
    set(includes "")
    set(dir "")
    if(NOT imported)
      get_target_property(dir ${t} SOURCE_DIR)
    endif()
    if(NOT imported AND NOT type STREQUAL "INTERFACE_LIBRARY" AND NOT type STREQUAL "UTILITY")
      get_target_property(links ${t} LINK_LIBRARIES)
      get_target_property(includes ${t} INCLUDE_DIRECTORIES)
    endif()
    get_target_property(interface_links ${t} INTERFACE_LINK_LIBRARIES)
    get_target_property(interface_includes ${t} INTERFACE_INCLUDE_DIRECTORIES)
    set(all_links "")
    set(all_includes "")
    foreach(list IN ITEMS links interface_links)
      if(${list})
        list(APPEND all_links ${${list}})
      endif()
    endforeach()
    foreach(link IN LISTS all_links)
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
      if(TARGET "${link}")
        list(APPEND targets "${link}")
      endif()
    endforeach()
    foreach(list IN ITEMS includes interface_includes)
      if(${list} AND NOT imported)
        list(APPEND all_includes ${${list}})
      endif()
    endforeach()
    _km7_json_array(links_json ${all_links})
    _km7_json_array(includes_json ${all_includes})
    string(JSON json SET "${json}" "${t}"
           "{\"type\": \"${type}\", \"dir\": \"${dir}\", \"links\": ${links_json}, \"includes\": ${includes_json}}")
  endwhile()
  file(WRITE ${graph_file} "${json}\n")
endfunction()
