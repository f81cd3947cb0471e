# A library target from every .cpp of a folder; an interface target when the
# folder has none yet.
function(ferry_glob_library name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(sources)
    add_library(${name} STATIC ${sources})
    target_link_libraries(${name} PUBLIC ferry ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ferry ${ARGN})
  endif()
endfunction()
