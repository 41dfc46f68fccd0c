# Install rules and packages of the engine.
#
# The installed tree is self-contained and relocatable:
#   bin/quillfen-core-speakers-analyze, bin/quillfen-fbank   run path $ORIGIN/../lib
#   lib/libonnxruntime.so.1                                   the runtime, byte for byte as fetched
#   share/doc/quillfen-core-speakers-analyze/                 README, ONNX Runtime licence and notices
#   the transcript client (cmake/InstallClient.cmake)
# Everything else the binaries link comes from the system (see the README's "Install" section).
#
# cpack makes a .tar.gz of that tree and a .deb that installs it under
# /opt/quillfen-core-speakers-analyze and depends on the Debian packages of those system libraries.

set(QUILLFEN_DOC_DIR share/doc/quillfen-core-speakers-analyze)

install(TARGETS quillfen-core-speakers-analyze ${QUILLFEN_TOOLS} RUNTIME DESTINATION bin)
install(FILES "${QUILLFEN_ORT_ROOT}/lib/libonnxruntime.so.1" DESTINATION lib)
install(FILES README.md DESTINATION ${QUILLFEN_DOC_DIR})
install(FILES
  third_party/onnxruntime/LICENSE
  third_party/onnxruntime/debian-copyright
  third_party/onnxruntime/README.md
  DESTINATION ${QUILLFEN_DOC_DIR}/onnxruntime)
include(${CMAKE_CURRENT_LIST_DIR}/InstallClient.cmake)

set(CPACK_PACKAGE_NAME quillfen-core-speakers-analyze)
set(CPACK_PACKAGE_VENDOR quillfen)
set(CPACK_PACKAGE_CONTACT "quillfen developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "One-shot command-line speaker-analysis engine")
set(CPACK_PACKAGE_DESCRIPTION
  "Started once per job, it reads one JSON request on standard input and answers with one JSON \
line: speaker embeddings of transcript statements, speaker evidence and speaker clusters of a \
16 kHz recording (analyze), or HDBSCAN labels of an embedding matrix (discovery-cluster). \
Carries its own copy of ONNX Runtime 1.25.1.")
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_GENERATOR TGZ DEB)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The generator-specific install prefix (/opt/... for the .deb, the archive root for the .tar.gz).
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/CPackPerGenerator.cmake")
include(CPack)
