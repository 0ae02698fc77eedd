# Gives each layer's library the headers of its own and the lower layers only, so that an
# include running upward or sideways does not compile (README: "Layout").
#
# Includes name the layer folder ("core/Bundle.h"). Per layer, a folder in the build tree
# holds links to the source folders that layer may include from, and that folder is the
# layer's only include directory; a dependent target inherits it with the library. The
# library is also built with the project's warnings.
# Relative includes ("../app/App.h") still find their file: tests/unit/test_layers.py
# catches those.
function(mirovan_layer target layer)
  set(folder ${CMAKE_BINARY_DIR}/layers/${layer})
  # Made afresh, so that a link left by an earlier layering does not linger. Removing a
  # link to a folder removes the link, not the folder.
  file(REMOVE_RECURSE ${folder})
  file(MAKE_DIRECTORY ${folder})
  foreach(visible IN ITEMS ${layer} ${ARGN})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${visible} ${folder}/${visible} SYMBOLIC)
  endforeach()
  target_include_directories(${target} PUBLIC ${folder})
  target_compile_options(${target} PRIVATE ${WARNINGS})
endfunction()
