# The release zip: the stripped helper, the README and SHA256SUMS for both, and
# the zip's own sum beside it, made by
# `cmake --build --preset windows --target package`. A script makes it rather
# than CPack, whose zips carry the packager's uid and gid; the script also takes
# every time stamp from the commit (SOURCE_DATE_EPOCH when it is set), so that
# two builds of one commit give the same bytes. It needs the helper alone.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
# A build folder configured when CPack made the zip keeps its config, and CMake
# reserves the name `package` while that file exists.
file(REMOVE ${CMAKE_BINARY_DIR}/CPackConfig.cmake ${CMAKE_BINARY_DIR}/CPackSourceConfig.cmake)
add_custom_target(
  package
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/release_zip.py
          --strip ${CMAKE_STRIP} --exe $<TARGET_FILE:tessarin-sandbox>
          --readme ${CMAKE_SOURCE_DIR}/README.md --source-dir ${CMAKE_SOURCE_DIR}
          --output ${CMAKE_BINARY_DIR}/tessarin-sandbox-${PROJECT_VERSION}-win64.zip
  VERBATIM)
add_dependencies(package tessarin-sandbox)
