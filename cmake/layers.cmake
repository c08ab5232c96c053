# Checks that the layers keep to their places.
#
# Linking: each layer, whole, into a program of its own with only the libraries it declares. A call
# into a layer above it, or into a library it must not use (TIFF from the formats, Boost outside
# the server), leaves a symbol undefined and the build fails. Link-time optimisation would
# optimise the whole layer again for each of these programs: they are made only without it.
if(NOT CMAKE_INTERPROCEDURAL_OPTIMIZATION)
  set(layer_check_main "${CMAKE_CURRENT_BINARY_DIR}/generated/layer_check_main.cpp")
  file(WRITE "${layer_check_main}" "int main() { return 0; }\n")
  foreach(layer IN LISTS R64_LAYERS)
    add_executable(${layer}_links_alone "${layer_check_main}")
    target_link_libraries(${layer}_links_alone PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${layer}>")
  endforeach()
endif()

# Including: a header of a higher layer, or a folder path reaching across src/, is not found with
# the include directories a layer compiles with.
function(forbid_include layer header)
  string(MAKE_C_IDENTIFIER "${header}" id)
  add_test(NAME layers_${layer}_cannot_include_${id}
           COMMAND ${CMAKE_COMMAND} -DCXX=${CMAKE_CXX_COMPILER} "-DINCLUDES=$<TARGET_PROPERTY:${layer},INCLUDE_DIRECTORIES>"
                   -DHEADER=${header} -DSCRATCH=${CMAKE_CURRENT_BINARY_DIR}/layer_checks
                   -P ${PROJECT_SOURCE_DIR}/cmake/include_not_found.cmake)
endfunction()
if(BUILD_TESTING)
  foreach(header IN ITEMS row_source.hpp tool_info.hpp ppm2r64.hpp tiles.hpp image/row_source.hpp)
    forbid_include(r64_formats ${header})
  endforeach()
  foreach(header IN ITEMS tool_info.hpp cr2ppm.hpp tiles.hpp r64/file/r64_tile.hpp)
    forbid_include(r64_inputs ${header})
  endforeach()
  foreach(header IN ITEMS tiles.hpp crserve/tiles.hpp r64/file/cr_internal.hpp)
    forbid_include(r64_tools ${header})
  endforeach()
  forbid_include(r64_server ppm2r64/ppm2r64.hpp)
endif()
