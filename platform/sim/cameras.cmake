velunto_library(velunto_sim_cameras
  SOURCES
    SimulatedCamera.cpp
    SimulatedCameraHardware.cpp
    SimulatedCameraPattern.cpp
    SimulatedCameraProvider.cpp
  DEPS velunto_avfoundation velunto_corevideo velunto_dispatch velunto_foundation
)
