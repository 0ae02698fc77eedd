# Signs the demo bundle, so that a build can be updated by a newer build signed with the
# same key. The key is a development key made once per build tree and kept there
# (build/ is never committed); a release is signed with the developer's own key instead
# (README: "Publish an update").
#
# Included after every target that writes into ${APP_DIR}: the signature lists the
# bundle's every entry, so it must be made last, and made again on every build.

set(MIROVAN_DEV_KEY ${CMAKE_BINARY_DIR}/dev-key.pem)

# Made once: no file dependency on the tool, so rebuilding it never asks for a new key
# (which would change the team and make earlier builds of this tree refuse later ones).
add_custom_command(
  OUTPUT ${MIROVAN_DEV_KEY}
  COMMAND mirovan-sign keygen ${MIROVAN_DEV_KEY}
  COMMENT "Making the development signing key ${MIROVAN_DEV_KEY}"
  VERBATIM)

# A custom target is always out of date, so this runs on every build, after the bundle
# has been assembled.
add_custom_target(bundle_signed ALL
  # A signed bundle is writable by its owner only; a umask such as 002 would leave the
  # copied files group-writable, which signing refuses.
  COMMAND chmod -R go-w ${APP_DIR}
  COMMAND mirovan-sign sign ${APP_DIR} ${MIROVAN_DEV_KEY}
  DEPENDS ${MIROVAN_DEV_KEY}
  COMMENT "Signing ${MIROVAN_BUNDLE_NAME}.app with the development key"
  VERBATIM)

# Every target that writes into the bundle is named bundle or bundle_*; depending on all
# of them keeps a later addition from landing after the signature.
get_directory_property(mirovan_targets BUILDSYSTEM_TARGETS)
foreach(target IN LISTS mirovan_targets)
  if(target MATCHES "^bundle(_.*)?$" AND NOT target STREQUAL "bundle_signed")
    add_dependencies(bundle_signed ${target})
  endif()
endforeach()
add_dependencies(bundle_signed mirovan-sign)
