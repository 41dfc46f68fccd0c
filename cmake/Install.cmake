# Install rules and packages of the engine.
#
# The installed tree is self-contained and relocatable:
#   bin/quillfen-core-speakers-analyze, bin/quillfen-fbank   run path $ORIGIN/../lib (*)
#   lib/libonnxruntime.so.1                                   the runtime, byte for byte as fetched
#   share/doc/quillfen-core-speakers-analyze/                 README, ONNX Runtime licence and notices
#   the transcript client (cmake/InstallClient.cmake)
# Everything else the binaries link comes from the system (see the README's "Install" section).
#
# cpack makes a .tar.gz of that tree and a .deb that installs it under
# /opt/quillfen-core-speakers-analyze and depends on the Debian packages of those system libraries.
#
# (*) The loader finds $ORIGIN through /proc/self/exe, which a sandbox without /proc lacks. A
# tree installed at the .deb's fixed place therefore has that lib/ directory by its absolute
# name after $ORIGIN/../lib; installed anywhere else (the .tar.gz, an install by hand) the run
# path is $ORIGIN/../lib alone, and such a tree starts without /proc when LD_LIBRARY_PATH names
# its lib/ directory. The binaries are linked with room for the longer run path, and the
# shorter one is written after they are installed elsewhere.

set(QUILLFEN_DOC_DIR share/doc/quillfen-core-speakers-analyze)
set(QUILLFEN_DEB_PREFIX /opt/quillfen-core-speakers-analyze)
set(QUILLFEN_INSTALLED_BINARIES quillfen-core-speakers-analyze ${QUILLFEN_TOOLS})

install(TARGETS ${QUILLFEN_INSTALLED_BINARIES} RUNTIME DESTINATION bin)
if(QUILLFEN_OWN_INSTALL_RPATH)
  set(quillfen_fixed_rpath "${CMAKE_INSTALL_RPATH}:${QUILLFEN_DEB_PREFIX}/lib")
  set_target_properties(${QUILLFEN_INSTALLED_BINARIES} PROPERTIES INSTALL_RPATH "${quillfen_fixed_rpath}")
  foreach(binary ${QUILLFEN_INSTALLED_BINARIES})
    install(CODE "
      if(NOT CMAKE_INSTALL_PREFIX STREQUAL [[${QUILLFEN_DEB_PREFIX}]])
        file(RPATH_CHANGE FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/${binary}\"
             OLD_RPATH [[${quillfen_fixed_rpath}]] NEW_RPATH [[${CMAKE_INSTALL_RPATH}]])
      endif()")
  endforeach()
endif()
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
set(CPACK_QUILLFEN_DEB_PREFIX "${QUILLFEN_DEB_PREFIX}")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/CPackPerGenerator.cmake")
include(CPack)
