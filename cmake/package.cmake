# The release zip: the stripped helper, the README and SHA256SUMS for both,
# made by `cmake --build --preset windows --target package`. CPack also writes
# the zip's own checksum beside it.
install(TARGETS tessarin-sandbox RUNTIME DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
# Runs after the exe is installed (and stripped), so the sum is of what ships.
install(CODE [[
  set(staged "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  set(sums "")
  foreach(name tessarin-sandbox.exe README.md)
    file(SHA256 "${staged}/${name}" sum)
    string(APPEND sums "${sum}  ${name}\n")
  endforeach()
  file(WRITE "${staged}/SHA256SUMS" "${sums}")
]])
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tessarin-sandbox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME tessarin-sandbox-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
include(CPack)
