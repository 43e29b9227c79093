# The Linux platform: real implementations of the platform services.
# Each backend source lives in src/platform/linux/; dependencies are found
# here so the core library never links them.
find_package(OpenCV 4 REQUIRED COMPONENTS core imgproc dnn imgcodecs)
find_package(CURL REQUIRED)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0)
pkg_check_modules(TEVRA_GLES REQUIRED IMPORTED_TARGET egl glesv2)
# The page view, the camera view and the chrome: GTK 3 and WebKitGTK 4.1.
pkg_check_modules(GTK3 REQUIRED IMPORTED_TARGET gtk+-3.0)
pkg_check_modules(WEBKITGTK REQUIRED IMPORTED_TARGET webkit2gtk-4.1)

set(TEVRA_LINUX_SOURCES
  src/platform/linux/CurlHttpClient.cpp src/platform/linux/EvdevHaptics.cpp src/platform/linux/FileUserDefaults.cpp
  src/platform/linux/GLDevice.cpp src/platform/linux/GLibAnimator.cpp src/platform/linux/GLibDispatch.cpp
  src/platform/linux/GtkAccessibility.cpp src/platform/linux/GtkCameraView.cpp src/platform/linux/GtkJSON.cpp
  src/platform/linux/LazyModelRuntime.cpp src/platform/linux/LinuxDevice.cpp src/platform/linux/LinuxPlatform.cpp
  src/platform/linux/LinuxViewFactory.cpp src/platform/linux/RandomUUID.cpp src/platform/linux/StdLog.cpp src/platform/linux/WebKitPageView.cpp
  src/platform/linux/ZipExtractor.cpp)
# A shared library, installed as TevraARWebGL::Linux (component Linux).
# The GTK widget that hosts the controller (src/embed/) ships in this library.
add_library(tevra_linux SHARED ${TEVRA_LINUX_SOURCES} src/embed/GtkBridge.cpp)
add_library(TevraARWebGL::Linux ALIAS tevra_linux)
set_target_properties(tevra_linux PROPERTIES OUTPUT_NAME TevraARWebGLLinux EXPORT_NAME Linux
  VERSION ${PROJECT_VERSION} SOVERSION 1)

# The frame guard, loaded into WebKit's web processes: it keeps subframes of
# another origin away from the message channels. WebKit's web process is not
# built with sanitizers, so neither is this module (a sanitized module would
# not load there); it is built into "web-extensions" beside the programs.
pkg_check_modules(WEBKITGTK_WEB_EXTENSION REQUIRED IMPORTED_TARGET webkit2gtk-web-extension-4.1)
add_library(tevra-frame-guard MODULE src/platform/linux/webprocess/FrameGuardExtension.cpp)
set_target_properties(tevra-frame-guard PROPERTIES
  COMPILE_OPTIONS "${TEVRA_WARNINGS}"
  LINK_OPTIONS ""
  OUTPUT_NAME tevra-frame-guard
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/web-extensions)
target_link_libraries(tevra-frame-guard PRIVATE PkgConfig::WEBKITGTK_WEB_EXTENSION)
install(TARGETS tevra-frame-guard LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/TevraARWebGL/web-extensions)
add_dependencies(tevra_linux tevra-frame-guard)
target_compile_definitions(tevra_linux PRIVATE
  TEVRA_WEB_EXTENSIONS_INSTALL_DIR="${CMAKE_INSTALL_FULL_LIBDIR}/TevraARWebGL/web-extensions")
target_compile_options(tevra_linux PRIVATE ${TEVRA_WARNINGS})
# Only GTK reaches an embedder through the installed headers (the widget);
# the other backends stay inside the library. In the build tree the tests
# and tools use the backends' own headers, so they get them all.
target_include_directories(tevra_linux SYSTEM PUBLIC $<BUILD_INTERFACE:${OpenCV_INCLUDE_DIRS}>)
target_link_libraries(tevra_linux PRIVATE ${CMAKE_DL_LIBS})
target_link_libraries(tevra_linux
  PUBLIC TevraARWebGL $<BUILD_INTERFACE:tevra_private_headers> $<BUILD_INTERFACE:PkgConfig::GTK3> $<INSTALL_INTERFACE:PkgConfig::TevraGTK3>
         $<BUILD_INTERFACE:CURL::libcurl> $<BUILD_INTERFACE:PkgConfig::LIBZIP>
         $<BUILD_INTERFACE:PkgConfig::GLIB> $<BUILD_INTERFACE:PkgConfig::TEVRA_GLES>
         $<BUILD_INTERFACE:PkgConfig::WEBKITGTK>)
install(TARGETS tevra_linux EXPORT TevraARWebGLLinuxTargets COMPONENT Linux
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/TevraARWebGL/platform/linux/LinuxPlatform.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/TevraARWebGL/platform/linux COMPONENT Linux)
install(FILES include/TevraARWebGL/embed/GtkBridge.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/TevraARWebGL/embed COMPONENT Linux)
install(EXPORT TevraARWebGLLinuxTargets NAMESPACE TevraARWebGL:: COMPONENT Linux
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TevraARWebGL)
configure_file(cmake/TevraARWebGL-Linux.pc.in ${CMAKE_BINARY_DIR}/TevraARWebGL-Linux.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/TevraARWebGL-Linux.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Linux)
# The model runtime: OpenCV's DNN module and what is built on it, in a
# library of its own that the platform loads on first use
# (src/platform/linux/LazyModelRuntime.h), so a host whose pages never
# prepare a model never loads OpenCV. Tests, benchmarks and tools that use the
# runtime's classes directly link it.
add_library(tevra_models SHARED src/platform/linux/ModelCheck.cpp src/platform/linux/ModelNetwork.cpp
  src/platform/linux/OpenCVModelRuntime.cpp)
set_target_properties(tevra_models PROPERTIES OUTPUT_NAME TevraARWebGLModels VERSION ${PROJECT_VERSION} SOVERSION 1)
target_compile_options(tevra_models PRIVATE ${TEVRA_WARNINGS})
target_include_directories(tevra_models SYSTEM PUBLIC $<BUILD_INTERFACE:${OpenCV_INCLUDE_DIRS}>)
target_link_libraries(tevra_models PUBLIC TevraARWebGL $<BUILD_INTERFACE:tevra_private_headers>
  $<BUILD_INTERFACE:${OpenCV_LIBS}> $<BUILD_INTERFACE:PkgConfig::GLIB>)
install(TARGETS tevra_models COMPONENT Linux LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The model runtime starts tevra-model-check (defined in CMakeLists.txt):
# built with the library, looked for beside the executable, then installed.
add_dependencies(tevra_models tevra-model-check)
add_dependencies(tevra_linux tevra_models)
target_compile_definitions(tevra_models PRIVATE TEVRA_MODEL_CHECK_INSTALLED="${TEVRA_MODEL_CHECK_INSTALLED}")

# The desktop host application.
add_executable(tevra-host apps/tevra-host/main.cpp apps/tevra-host/HostApp.cpp)
target_compile_options(tevra-host PRIVATE ${TEVRA_WARNINGS})
target_link_libraries(tevra-host PRIVATE tevra_linux tevra_sim ${CMAKE_DL_LIBS})
target_include_directories(tevra-host PRIVATE $<TARGET_PROPERTY:tevra_live,INTERFACE_INCLUDE_DIRECTORIES>)
# --camera: the live session behind a module loaded only then
# (apps/tevra-host/LiveCamera.h), built beside the executable.
add_library(tevra-host-live MODULE apps/tevra-host/LiveCamera.cpp)
set_target_properties(tevra-host-live PROPERTIES PREFIX "lib")
target_compile_options(tevra-host-live PRIVATE ${TEVRA_WARNINGS})
target_link_libraries(tevra-host-live PRIVATE tevra_live tevra_linux)
add_dependencies(tevra-host tevra-host-live)

if(TEVRA_BUILD_TESTS)
  # The page-view and host tests run in their own program (tevra_webkit_tests
  # below): under AddressSanitizer they need slow, exact stack unwinding on
  # every allocation (for the leak suppressions of WebKit's caches), which
  # would starve the GL tests.
  set(TEVRA_LINUX_TEST_SOURCES
    tests/linux/CurlHttpClient_test.cpp tests/linux/DetectionOrientation_test.cpp
    tests/linux/DetectionPath_test.cpp tests/linux/EvdevHaptics_test.cpp tests/linux/FakeArchive_test.cpp
    tests/linux/Faults_test.cpp tests/linux/FileUserDefaults_test.cpp tests/linux/GLRenderer_test.cpp
    tests/linux/GLibAnimator_test.cpp tests/linux/GLibDispatch_test.cpp tests/linux/GtkAccessibility_test.cpp
    tests/linux/GtkCameraView_test.cpp tests/linux/HostileArchives_test.cpp tests/linux/HostileServer_test.cpp
    tests/linux/LazyModelRuntime_test.cpp tests/linux/LinuxDevice_test.cpp tests/linux/ModelCheck_test.cpp
    tests/linux/ModelDownload_test.cpp
    tests/linux/OpenCVModelRuntime_test.cpp tests/linux/RandomUUID_test.cpp tests/linux/StdLog_test.cpp
    tests/linux/TevraSynth_test.cpp tests/linux/VPSClient_test.cpp tests/linux/WholeLoop_test.cpp
    tests/linux/ZipExtractor_test.cpp tests/linux/support/GeneratedFiles.cpp
    tests/linux/support/LoopbackServer.cpp tests/linux/support/SanitizerDefaults.cpp)
  add_executable(tevra_linux_tests ${TEVRA_LINUX_TEST_SOURCES})
  target_compile_options(tevra_linux_tests PRIVATE ${TEVRA_WARNINGS})
  tevra_test_precompiled_headers(tevra_linux_tests)
  target_include_directories(tevra_linux_tests PRIVATE tests)
  target_link_libraries(tevra_linux_tests PRIVATE tevra_linux tevra_models tevra_live tevra_fake GTest::gtest GTest::gmock
    GTest::gtest_main)
  target_compile_definitions(tevra_linux_tests PRIVATE
    TEVRA_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}"
    TEVRA_SOURCE_RESOURCES="${TEVRA_RESOURCE_DIR}"
    TEVRA_BUILD_DIR="${CMAKE_CURRENT_BINARY_DIR}"
    TEVRA_HOST_BINARY="$<TARGET_FILE:tevra-host>"
    TEVRA_LINUX_LIBRARY="$<TARGET_FILE:tevra_linux>"
    TEVRA_MODEL_CHECK_BINARY="$<TARGET_FILE:tevra-model-check>")
  # The whole-loop test runs the host program itself.
  add_dependencies(tevra_linux_tests tevra-host)
  gtest_discover_tests(tevra_linux_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)

  # The host-level tests drive tevra-host's own HostApp in the real engine.
  add_executable(tevra_webkit_tests tests/linux/WebKitPageView_test.cpp tests/linux/Host_test.cpp
    tests/linux/WebXR_test.cpp
    apps/tevra-host/HostApp.cpp tests/linux/support/LoopbackServer.cpp tests/linux/support/SanitizerDefaults.cpp)
  target_compile_options(tevra_webkit_tests PRIVATE ${TEVRA_WARNINGS})
  tevra_test_precompiled_headers(tevra_webkit_tests)
  target_include_directories(tevra_webkit_tests PRIVATE tests apps/tevra-host)
  target_link_libraries(tevra_webkit_tests PRIVATE tevra_linux tevra_live tevra_fake ${CMAKE_DL_LIBS} GTest::gtest GTest::gmock
    GTest::gtest_main)
  target_compile_definitions(tevra_webkit_tests PRIVATE
    TEVRA_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}"
    TEVRA_SOURCE_RESOURCES="${TEVRA_RESOURCE_DIR}"
    TEVRA_BUILD_DIR="${CMAKE_CURRENT_BINARY_DIR}"
    TEVRA_HOST_BINARY="$<TARGET_FILE:tevra-host>")
  # The host program tests run tevra-host itself.
  add_dependencies(tevra_webkit_tests tevra-host)
  gtest_discover_tests(tevra_webkit_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endif()
