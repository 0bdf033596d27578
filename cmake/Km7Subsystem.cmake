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
# scripts/check-layers.py checks which libraries may link which.
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
