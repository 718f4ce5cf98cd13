# The plug-in's code without its device: the static core that the module and the test binaries
# link together with a device library.
set(plugin_dir ${CMAKE_CURRENT_LIST_DIR})

tide_library(PlugInCore STATIC SOURCES
  ${plugin_dir}/KorvanService.cpp
  ${plugin_dir}/KorvanServiceClient.cpp
  ${plugin_dir}/KorvanServicePnP.cpp
  ${plugin_dir}/ResetUACDevicesTimer.cpp
  ${plugin_dir}/SA_Host.cpp
  ${plugin_dir}/SA_Object.cpp
  ${plugin_dir}/SA_ObjectMap.cpp
  ${plugin_dir}/SA_PlugIn.cpp
  ${plugin_dir}/USBServiceClient.cpp
  ${plugin_dir}/WithXpcConnection.cpp)
target_include_directories(PlugInCore PUBLIC ${plugin_dir})
target_link_libraries(PlugInCore PUBLIC PlugInWorkLoop PublicUtility UtilLog DriverCommon CoreAudio IOKit XPC
                      Dispatch CoreFoundation Darwin)

# The device and its USB streaming engine.
tide_library(PlugInDevice STATIC SOURCES
  ${plugin_dir}/ChannelNames.cpp
  ${plugin_dir}/IOLock.cpp
  ${plugin_dir}/SA_Device.cpp
  ${plugin_dir}/SA_DeviceIOControl.cpp
  ${plugin_dir}/SA_DeviceProperties.cpp
  ${plugin_dir}/SA_DeviceUSB.cpp
  ${plugin_dir}/SA_DeviceUSBInput.cpp
  ${plugin_dir}/SA_DeviceUSBInterrupt.cpp
  ${plugin_dir}/SA_DeviceUSBOutput.cpp
  ${plugin_dir}/SA_DeviceUSBSampleRate.cpp
  ${plugin_dir}/SA_DeviceUSBStartStop.cpp
  ${plugin_dir}/SA_DeviceUSBZeroTime.cpp
  ${plugin_dir}/SampleConversion.cpp
  ${plugin_dir}/UACInterruptStatus.cpp
  ${plugin_dir}/USBClockControl.cpp
  ${plugin_dir}/USBStreamingLayout.cpp
  ${plugin_dir}/ZeroTimeFilter.cpp)
target_link_libraries(PlugInDevice PUBLIC PlugInCore)

# The plug-in object of the shipped module, with the real device's factory.
tide_library(PlugInShipped STATIC SOURCES ${plugin_dir}/PlugInInstance.cpp)
target_link_libraries(PlugInShipped PUBLIC PlugInDevice)

# The factory and the driver interface: the module's own objects, and part of every test binary.
tide_library(PlugInEntry OBJECT SOURCES ${plugin_dir}/SA_PlugInInterface.cpp)
target_link_libraries(PlugInEntry PUBLIC PlugInCore)

# The recording device of the tests with the plug-in object that makes it, also built into the test
# module, and the tests' service watcher.
tide_library(PlugInTestDevice STATIC SOURCES ${plugin_dir}/tests/support/TestDevice.cpp
                                             ${plugin_dir}/tests/support/TestPlugIn.cpp
                                             ${plugin_dir}/tests/support/PnPWatcher.cpp
                                             ${plugin_dir}/tests/support/RunOnLoop.cpp)
target_include_directories(PlugInTestDevice PUBLIC ${plugin_dir}/tests/support)
target_link_libraries(PlugInTestDevice PUBLIC PlugInDevice)

# The neighbours' test doubles and the contract suites they pass; later linked by the kernel
# extension's and the daemon's tests too.
tide_library(PlugInTestSupport STATIC SOURCES
  ${plugin_dir}/tests/support/FakeKernelUserClient.cpp
  ${plugin_dir}/tests/support/FakeReenumerator.cpp
  ${plugin_dir}/tests/support/LogLines.cpp
  ${plugin_dir}/tests/support/RecordingHost.cpp
  ${plugin_dir}/tests/support/ScriptedStream.cpp)
target_include_directories(PlugInTestSupport PUBLIC ${plugin_dir}/tests/support)
target_link_libraries(PlugInTestSupport PUBLIC CoreAudio DriverCommon UtilLog IOKit IOKitTesting DarwinTesting XPC Dispatch
                      CoreFoundation)

# tide_audio_plugin_module(NAME BUNDLE <bundle name> LIBS <device library> ...)
# A plug-in module laid out as a bundle in the build tree: <bundle>/Contents/Info.plist and
# <bundle>/Contents/MacOS/<NAME>. The device library defines the plug-in object with its device
# factory. Only the factory is exported; everything else, the module's own
# Log and templates included, stays private to it.
function(tide_audio_plugin_module name)
  cmake_parse_arguments(ARG "" "BUNDLE" "LIBS" ${ARGN})
  if(TIDE_SCOPE STREQUAL "fuzz")
    return()
  endif()
  set(bundle_dir ${CMAKE_CURRENT_BINARY_DIR}/${ARG_BUNDLE})
  add_library(${name} MODULE $<TARGET_OBJECTS:PlugInEntry>)
  tide_warnings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} PlugInCore)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    SUFFIX ""
    LIBRARY_OUTPUT_DIRECTORY ${bundle_dir}/Contents/MacOS
    LINK_DEPENDS ${plugin_dir}/PlugIn.exports)
  target_link_options(${name} PRIVATE
    -Wl,--version-script=${plugin_dir}/PlugIn.exports -Wl,-Bsymbolic -Wl,--no-undefined)
  set(PLUGIN_EXECUTABLE ${name})
  configure_file(${plugin_dir}/Info.plist.in ${bundle_dir}/Contents/Info.plist @ONLY)
endfunction()

# The plug-in's unit tests: the static core with the test device and the fakes.
file(GLOB plugin_tests CONFIGURE_DEPENDS ${plugin_dir}/tests/*.cpp)
list(FILTER plugin_tests EXCLUDE REGEX "/WorkLoop[^/]*$")
if(plugin_tests)
  tide_test(PlugInTests TSAN SOURCES ${plugin_tests} $<TARGET_OBJECTS:PlugInEntry>
            LIBS PlugInTestDevice PlugInTestSupport PlugInCore IOKitTesting XPCTesting CoreFoundationTesting
                 DarwinTesting)
endif()

# The device's tests, against the scripted driver; its stress cases also run under the thread
# sanitizer.
set(plugin_device_test_libs PlugInShipped PlugInTestSupport KorvanDescriptors AudioServerHost IOKitTesting DarwinTesting)
file(GLOB plugin_device_tests CONFIGURE_DEPENDS ${plugin_dir}/tests/device/*.cpp)
# The IO thread's allocations are counted by the library tests' counter.
tide_test(PlugInDeviceTests SOURCES ${plugin_device_tests} ${CMAKE_SOURCE_DIR}/Util/tests/VorkAllocationCounter.cpp
          $<TARGET_OBJECTS:PlugInEntry> LIBS ${plugin_device_test_libs})
if(TARGET PlugInDeviceTests)
  target_include_directories(PlugInDeviceTests PRIVATE ${CMAKE_SOURCE_DIR}/Util/tests)
endif()
file(GLOB plugin_device_stress_tests CONFIGURE_DEPENDS ${plugin_dir}/tests/device/stress/*.cpp)
tide_test(PlugInDeviceStressTests TSAN SOURCES ${plugin_device_stress_tests} $<TARGET_OBJECTS:PlugInEntry>
          LIBS ${plugin_device_test_libs})
if(TARGET PlugInDeviceStressTests)
  target_include_directories(PlugInDeviceStressTests PRIVATE ${plugin_dir}/tests/device)
endif()

# The shipped plug-in module.
tide_audio_plugin_module(VORKtideAudioServerPlugin BUNDLE VORKtideAudioServerPlugin.driver LIBS PlugInShipped)

# The test build of the plug-in module, with the test device.
tide_audio_plugin_module(VORKtideAudioServerPluginTest BUNDLE VORKtideAudioServerPluginTest.driver
                         LIBS PlugInTestDevice)

# The test module as the audio server loads it: one process per scenario, and what a user sees.
if(TIDE_SCOPE STREQUAL "all")
  set(test_bundle ${CMAKE_CURRENT_BINARY_DIR}/VORKtideAudioServerPluginTest.driver)
  file(GLOB plugin_module_tests CONFIGURE_DEPENDS ${plugin_dir}/tests/module/*.cpp)
  tide_test(PlugInModuleTests SOURCES ${plugin_module_tests}
            LIBS AudioServerHost PlugInTestSupport CoreFoundationTesting DarwinTesting)
  target_compile_definitions(PlugInModuleTests PRIVATE TIDE_TEST_PLUGIN_BUNDLE="${test_bundle}")
  add_dependencies(PlugInModuleTests VORKtideAudioServerPluginTest tide-audio-host)
  add_test(NAME PlugInModuleExports
           COMMAND ${plugin_dir}/tests/check-module-exports ${CMAKE_NM}
                   $<TARGET_FILE:VORKtideAudioServerPluginTest>)
  add_test(NAME PlugInShippedModuleExports
           COMMAND ${plugin_dir}/tests/check-module-exports ${CMAKE_NM} $<TARGET_FILE:VORKtideAudioServerPlugin>)
  add_test(NAME PlugInBundleInfoPlist COMMAND python3 ${plugin_dir}/tests/check-bundle-plist ${test_bundle})
  add_test(NAME PlugInAudioHost
           COMMAND ${plugin_dir}/tests/check-audio-host $<TARGET_FILE:tide-audio-host> ${test_bundle})
endif()
