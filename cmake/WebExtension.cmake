# The web process extension: a module each WebKit web process loads from the folder the
# app names at launch, Contents/Linux/web-extensions in the bundle (web-extensions next
# to an unbundled program). It shares the navigation rule with the app, compiled in
# rather than linked from mirovan_web: a module needs position-independent code, and
# (below) no sanitizers.
pkg_check_modules(WEB_EXTENSION REQUIRED IMPORTED_TARGET webkitgtk-web-process-extension-6.0)

add_library(mirovan_web_extension MODULE
  src/web/extension/Extension.cpp
  src/web/NavigationRule.cpp
)
target_include_directories(mirovan_web_extension PRIVATE ${CMAKE_BINARY_DIR}/layers/web)
target_compile_options(mirovan_web_extension PRIVATE ${WARNINGS})
target_link_libraries(mirovan_web_extension PRIVATE PkgConfig::WEB_EXTENSION)
set_target_properties(mirovan_web_extension PROPERTIES
  PREFIX "lib"
  CXX_VISIBILITY_PRESET hidden
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/web-extensions)

# The web processes are not built with the sanitizers, and a sanitized module cannot be
# loaded into a process whose runtime lacks them.
if(MIROVAN_SANITIZE)
  foreach(property COMPILE_OPTIONS LINK_OPTIONS)
    get_target_property(options mirovan_web_extension ${property})
    if(options)
      list(FILTER options EXCLUDE REGEX "^-fsanitize|^-fno-sanitize|^-fno-omit-frame-pointer$")
      set_target_properties(mirovan_web_extension PROPERTIES ${property} "${options}")
    endif()
  endforeach()
endif()

add_custom_target(bundle_web_extension ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory ${APP_DIR}/Contents/Linux/web-extensions
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:mirovan_web_extension> ${APP_DIR}/Contents/Linux/web-extensions/
  COMMENT "Adding the web process extension to ${MIROVAN_BUNDLE_NAME}.app"
  VERBATIM)
add_dependencies(bundle_web_extension mirovan_web_extension bundle)
