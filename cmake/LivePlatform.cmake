# The live AR session: a real camera (GStreamer) and a printed board tracked
# with OpenCV's ArUco module, as an ARSession. Installed as TevraARWebGL::Live.
find_package(OpenCV 4 REQUIRED COMPONENTS core imgproc calib3d aruco imgcodecs)
pkg_check_modules(GSTREAMER REQUIRED IMPORTED_TARGET gstreamer-1.0 gstreamer-app-1.0 gstreamer-video-1.0)

# The board and its world.
set(TEVRA_LIVE_BOARD_SOURCES src/platform/live/Board.cpp src/platform/live/BoardImage.cpp)

# The camera source.
set(TEVRA_LIVE_CAMERA_SOURCES src/platform/live/GstCameraSource.cpp src/platform/live/ScriptedCameraSource.cpp)

# Marker tracking and pose smoothing.
set(TEVRA_LIVE_TRACKING_SOURCES src/platform/live/MarkerTracker.cpp src/platform/live/PoseSmoother.cpp
 )

# Calibration: the file, the field-of-view fallback, calibration from views.
set(TEVRA_LIVE_CALIBRATION_SOURCES src/platform/live/CameraCalibration.cpp src/platform/live/CharucoCalibrator.cpp)

# The session and its recorder.
set(TEVRA_LIVE_SESSION_SOURCES src/platform/live/LiveARSession.cpp)

add_library(tevra_live SHARED ${TEVRA_LIVE_BOARD_SOURCES} ${TEVRA_LIVE_CAMERA_SOURCES} ${TEVRA_LIVE_TRACKING_SOURCES}
  ${TEVRA_LIVE_CALIBRATION_SOURCES} ${TEVRA_LIVE_SESSION_SOURCES})
add_library(TevraARWebGL::Live ALIAS tevra_live)
set_target_properties(tevra_live PROPERTIES OUTPUT_NAME TevraARWebGLLive EXPORT_NAME Live
  VERSION ${PROJECT_VERSION} SOVERSION 1)
target_compile_options(tevra_live PRIVATE ${TEVRA_WARNINGS})
target_include_directories(tevra_live SYSTEM PRIVATE ${OpenCV_INCLUDE_DIRS})
target_link_libraries(tevra_live PUBLIC TevraARWebGL tevra_sim
  PRIVATE $<BUILD_INTERFACE:tevra_private_headers> ${OpenCV_LIBS} PkgConfig::GSTREAMER nlohmann_json::nlohmann_json
  PkgConfig::TURBOJPEG)
install(TARGETS tevra_live EXPORT TevraARWebGLLiveTargets COMPONENT Live LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/TevraARWebGL/platform/live DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/TevraARWebGL/platform
  COMPONENT Live)
install(FILES include/TevraARWebGL/platform/CameraSource.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/TevraARWebGL/platform COMPONENT Live)
install(EXPORT TevraARWebGLLiveTargets NAMESPACE TevraARWebGL:: COMPONENT Live
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TevraARWebGL)

# Tools.
# tevra-calibrate: camera calibration from views of a ChArUco board, and the printable board.
pkg_check_modules(CAIRO REQUIRED IMPORTED_TARGET cairo fontconfig)
add_executable(tevra-calibrate apps/tevra-calibrate/main.cpp apps/tevra-calibrate/PrintBoard.cpp)
target_compile_options(tevra-calibrate PRIVATE ${TEVRA_WARNINGS})
target_include_directories(tevra-calibrate SYSTEM PRIVATE ${OpenCV_INCLUDE_DIRS})
target_link_libraries(tevra-calibrate PRIVATE tevra_live tevra_private_headers ${OpenCV_LIBS} PkgConfig::CAIRO)
install(TARGETS tevra-calibrate COMPONENT Live RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(TEVRA_BUILD_TESTS)
  set(TEVRA_LIVE_TEST_SOURCES tests/live/Board_test.cpp tests/live/Calibration_test.cpp tests/live/CameraSource_test.cpp
    tests/live/MarkerTracker_test.cpp)
  add_executable(tevra_live_tests ${TEVRA_LIVE_TEST_SOURCES})
  target_compile_options(tevra_live_tests PRIVATE ${TEVRA_WARNINGS})
  target_include_directories(tevra_live_tests PRIVATE tests)
  target_include_directories(tevra_live_tests SYSTEM PRIVATE ${OpenCV_INCLUDE_DIRS})
  target_link_libraries(tevra_live_tests PRIVATE tevra_live tevra_fake ${OpenCV_LIBS} PkgConfig::GSTREAMER
    GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(tevra_live_tests PRIVATE TEVRA_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}"
    TEVRA_BUILD_DIR="${CMAKE_CURRENT_BINARY_DIR}" TEVRA_CALIBRATE_BINARY="$<TARGET_FILE:tevra-calibrate>")
  # The live tests run the tool for its printed board.
  add_dependencies(tevra_live_tests tevra-calibrate)
  gtest_discover_tests(tevra_live_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  # The session's threads on the scripted camera: a program of its own, so the
  # ThreadSanitizer tree builds only it and the library.
  add_executable(tevra_live_session_tests tests/live/LiveARSession_test.cpp)
  target_compile_options(tevra_live_session_tests PRIVATE ${TEVRA_WARNINGS})
  target_include_directories(tevra_live_session_tests PRIVATE tests)
  target_include_directories(tevra_live_session_tests SYSTEM PRIVATE ${OpenCV_INCLUDE_DIRS})
  target_link_libraries(tevra_live_session_tests PRIVATE tevra_live tevra_fake ${OpenCV_LIBS}
    GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(tevra_live_session_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endif()

if(TEVRA_BUILD_BENCH)
  add_executable(live_bench bench/live_bench.cpp)
  target_compile_options(live_bench PRIVATE ${TEVRA_WARNINGS})
  target_include_directories(live_bench PRIVATE tests)
  target_include_directories(live_bench SYSTEM PRIVATE ${OpenCV_INCLUDE_DIRS})
  target_link_libraries(live_bench PRIVATE tevra_live tevra_fake benchmark::benchmark ${OpenCV_LIBS})
endif()
