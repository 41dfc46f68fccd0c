# Install rules of the transcript client, shipped beside the engine in both packages:
#   bin/quillfen-label-transcript, bin/quillfen-find-speakers   the commands (scripts/label-transcript
#                                                               and scripts/find-speakers, renamed)
#   lib/python3/dist-packages/quillfen_client/                  the package they run (standard library)
# The commands find the package and the engine beside them, so the tree needs no variable.
# The .deb depends on python3, recommends sox (recordings in other formats than raw float32) and
# suggests its MP3 support.

install(DIRECTORY tools/client/quillfen_client DESTINATION lib/python3/dist-packages
  FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
install(PROGRAMS scripts/label-transcript DESTINATION bin RENAME quillfen-label-transcript)
install(PROGRAMS scripts/find-speakers DESTINATION bin RENAME quillfen-find-speakers)

set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "sox")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libsox-fmt-mp3")
