# Run by CPack once it has staged the files and before it packs them: when scripts/release
# names a released executable other than the one built (the signed one) in
# PROTOSWITCH_RELEASED_EXE, that one goes into the package as protoswitch.exe. Only the release
# sets it: it runs CPack in an environment of its own, where no caller's variable reaches.
if(DEFINED ENV{PROTOSWITCH_RELEASED_EXE})
  file(COPY_FILE "$ENV{PROTOSWITCH_RELEASED_EXE}" "${CPACK_TEMPORARY_DIRECTORY}/protoswitch.exe")
endif()
