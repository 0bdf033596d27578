# km7_automoc_only_with_qt(): moc runs only for targets that link Qt.
#
# CMAKE_AUTOMOC gives every target two build steps (the moc scan and a
# generated source to compile), even a target that knows nothing of Qt. Call
# this after every target is defined: it turns AUTOMOC off where no Qt
# library is linked, directly or through a library of this project.

function(_km7_links_qt target out)
  get_property(known GLOBAL PROPERTY _KM7_LINKS_QT_${target} SET)
  if(known)
    get_property(result GLOBAL PROPERTY _KM7_LINKS_QT_${target})
    set(${out} ${result} PARENT_SCOPE)
    return()
  endif()
  set_property(GLOBAL PROPERTY _KM7_LINKS_QT_${target} OFF)  # ends a cycle
  set(result OFF)
  get_target_property(type ${target} TYPE)
  set(properties INTERFACE_LINK_LIBRARIES)
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    list(APPEND properties LINK_LIBRARIES)
  endif()
  foreach(property IN LISTS properties)
    get_target_property(libraries ${target} ${property})
    if(NOT libraries)
      continue()
    endif()
    foreach(library IN LISTS libraries)
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" library "${library}")
      if(library MATCHES "^Qt6?::")
        set(result ON)
      elseif(TARGET ${library})
        get_target_property(imported ${library} IMPORTED)
        if(NOT imported)
          _km7_links_qt(${library} linked)
          if(linked)
            set(result ON)
          endif()
        endif()
      endif()
    endforeach()
  endforeach()
  set_property(GLOBAL PROPERTY _KM7_LINKS_QT_${target} ${result})
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# _km7_targets_below() is in cmake/Km7Subsystem.cmake.

function(km7_automoc_only_with_qt)
  _km7_targets_below(${CMAKE_SOURCE_DIR} targets)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
      _km7_links_qt(${target} qt)
      if(NOT qt)
        set_target_properties(${target} PROPERTIES AUTOMOC OFF)
      endif()
    endif()
  endforeach()
endfunction()
