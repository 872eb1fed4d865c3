# Install rules of the reference server (component server, the package ks-inference-server): the program
# ks_inference_server and its man page, the worker program it starts, the systemd unit with its defaults
# file, and in a private folder the shared libraries these programs were built with. ONNX Runtime goes
# there because Debian has no package of it; the core stand-in because a server machine has no framework,
# and the stand-in must not pose as the framework's libks_core where other programs would find it. The
# programs find the folder through their RUNPATH, relative to $ORIGIN, so the package also runs unpacked
# anywhere.

set(ks_server_private_dir lib/ks-inference-server)
file(RELATIVE_PATH ks_server_rpath /${CMAKE_INSTALL_BINDIR} /${ks_server_private_dir})
set_target_properties(ks_inference_server PROPERTIES INSTALL_RPATH "$ORIGIN/${ks_server_rpath}")
install(TARGETS ks_inference_server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
# The worker program lives with the private libraries, where the server looks for it
# (../lib/ks-inference-server/ from its own folder), and finds ONNX Runtime beside itself.
set_target_properties(ks_inference_worker PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS ks_inference_worker RUNTIME DESTINATION ${ks_server_private_dir} COMPONENT server)
install(TARGETS ks_core LIBRARY DESTINATION ${ks_server_private_dir} COMPONENT server NAMELINK_SKIP)
# Installed under its soname, the name the programs ask for (ONNX Runtime 1.x: libonnxruntime.so.1),
# whatever file OnnxRuntime_LIBRARY points at.
file(REAL_PATH "${OnnxRuntime_LIBRARY}" ks_onnxruntime_file)
install(FILES ${ks_onnxruntime_file} RENAME libonnxruntime.so.1 DESTINATION ${ks_server_private_dir}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT server)

ks_man_page(ks_inference_server server)

# ONNX Runtime's third-party notices beside the package's copyright file, which names them.
if(OnnxRuntime_NOTICES)
  set(ks_notices ${PROJECT_BINARY_DIR}/onnxruntime-ThirdPartyNotices.txt.gz)
  add_custom_command(OUTPUT ${ks_notices} COMMAND gzip -9nc ${OnnxRuntime_NOTICES} > ${ks_notices}
    DEPENDS ${OnnxRuntime_NOTICES} COMMENT "Compressing ONNX Runtime's third-party notices" VERBATIM)
  add_custom_target(ks_onnxruntime_notices ALL DEPENDS ${ks_notices})
  install(FILES ${ks_notices} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/ks-inference-server COMPONENT server)
endif()

# Absolute, where Debian 12's systemd.pc puts units; the package installs it there, not under /usr.
set(KS_SYSTEMD_UNIT_DIR /lib/systemd/system CACHE PATH "Folder the server's systemd unit is installed into")
install(FILES ${PROJECT_SOURCE_DIR}/deploy/ks-inference-server.service DESTINATION ${KS_SYSTEMD_UNIT_DIR}
  COMPONENT server)
# The unit's options, a conffile of the package.
install(FILES ${PROJECT_SOURCE_DIR}/deploy/ks-inference-server.default DESTINATION /etc/default
  RENAME ks-inference-server COMPONENT server)
# nginx in front of several nodes that share their sessions: an example, not a conffile.
install(FILES ${PROJECT_SOURCE_DIR}/deploy/nginx-ks-inference.conf
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/ks-inference-server/examples COMPONENT server)
