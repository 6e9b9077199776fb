# The areas of the library and what each may use (CONTRIBUTING.md, "Layout"), enforced by the
# include path: each area compiles with include roots of its own, made at configure time of
# symbolic links under the build tree, holding its own headers, the public headers of the areas it
# uses and the private support helpers. A wrong include is then a missing file.
#
#   layers/<area>/include/tamsenor/{Export,Result,Version}.hpp, <area>/, <used areas>/
#   layers/<area>/src/<area>/, support/

set(TAMSENOR_LAYERS_DIR ${PROJECT_BINARY_DIR}/layers)
# Symbolic links are removed, never followed: the sources they point at stay.
file(REMOVE_RECURSE ${TAMSENOR_LAYERS_DIR})

# The version header is made from the project's version; it is installed with the others.
set(TAMSENOR_GENERATED_INCLUDE ${PROJECT_BINARY_DIR}/generated/include)
configure_file(${PROJECT_SOURCE_DIR}/include/tamsenor/Version.hpp.in
               ${TAMSENOR_GENERATED_INCLUDE}/tamsenor/Version.hpp @ONLY)

function(_tamsenor_link original link)
  get_filename_component(parent ${link} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(CREATE_LINK ${original} ${link} SYMBOLIC)
endfunction()

# The name of an area's directory under layers/ and of its target: abtesting/framework gives
# abtesting_framework.
function(tamsenor_area_name area out)
  string(REPLACE "/" "_" name ${area})
  set(${out} ${name} PARENT_SCOPE)
endfunction()

# Declares an area and makes its include roots. What a used area uses comes along, since its
# public headers include theirs. A STANDALONE area (a library of its own) does not see support.
#   tamsenor_area(<area> [STANDALONE] [USES <areas...>])
function(tamsenor_area area)
  cmake_parse_arguments(ARG "STANDALONE" "" "USES" ${ARGN})
  set(visible ${area})
  foreach(used IN LISTS ARG_USES)
    get_property(transitive GLOBAL PROPERTY TAMSENOR_AREA_VISIBLE_${used})
    list(APPEND visible ${used} ${transitive})
  endforeach()
  list(REMOVE_DUPLICATES visible)
  set_property(GLOBAL PROPERTY TAMSENOR_AREA_VISIBLE_${area} ${visible})

  tamsenor_area_name(${area} name)
  set(root ${TAMSENOR_LAYERS_DIR}/${name})
  foreach(file Export.hpp Result.hpp)
    _tamsenor_link(${PROJECT_SOURCE_DIR}/include/tamsenor/${file} ${root}/include/tamsenor/${file})
  endforeach()
  _tamsenor_link(${TAMSENOR_GENERATED_INCLUDE}/tamsenor/Version.hpp
                 ${root}/include/tamsenor/Version.hpp)
  foreach(each IN LISTS visible)
    # abtesting/framework lies inside abtesting's own directory: linked once with it.
    string(REGEX REPLACE "/.*" "" top ${each})
    if(NOT top STREQUAL each AND top IN_LIST visible)
      continue()
    endif()
    if(EXISTS ${PROJECT_SOURCE_DIR}/include/tamsenor/${each})
      _tamsenor_link(${PROJECT_SOURCE_DIR}/include/tamsenor/${each} ${root}/include/tamsenor/${each})
    endif()
  endforeach()
  set(privates ${area})
  if(NOT ARG_STANDALONE AND NOT area STREQUAL "support")
    list(APPEND privates support)
  endif()
  foreach(private IN LISTS privates)
    if(EXISTS ${PROJECT_SOURCE_DIR}/src/${private})
      _tamsenor_link(${PROJECT_SOURCE_DIR}/src/${private} ${root}/src/${private})
    endif()
  endforeach()
endfunction()

# Compiles `target` with the include roots of `area` only.
function(tamsenor_area_roots target area)
  tamsenor_area_name(${area} name)
  target_include_directories(${target} PRIVATE ${TAMSENOR_LAYERS_DIR}/${name}/include
                                               ${TAMSENOR_LAYERS_DIR}/${name}/src)
endfunction()

# The objects of one area, which go into one of the installed libraries: tamsenor_<area>.
function(tamsenor_area_objects area)
  tamsenor_area_name(${area} name)
  add_library(tamsenor_${name} OBJECT ${ARGN})
  tamsenor_area_roots(tamsenor_${name} ${area})
  target_compile_features(tamsenor_${name} PRIVATE cxx_std_20)
  set_target_properties(tamsenor_${name} PROPERTIES CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON POSITION_INDEPENDENT_CODE "${BUILD_SHARED_LIBS}")
  tamsenor_warnings(tamsenor_${name})
endfunction()
