velunto_library(velunto_sim_extensions
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/SimulatedSystemExtensions.cpp
  DEPS velunto_systemextensions
)
