# What `cmake --install` puts into a prefix (GNU layout):
#   include/corvina/<unit>/*.h        the units' headers, same include paths as the tree
#   lib/libCorvina.so.1, lib/libCorvinaFramework.so.1 (+ .so links)
#   lib/libstable-diffusion.so, lib/libsam2.so   the reference backends
#   share/corvina/models/             their sample models
#   bin/corvina                       the tool
#   lib/cmake/Corvina/                find_package(Corvina)
#   lib/pkgconfig/corvina.pc          pkg-config
# On Windows: bin/ holds corvina.exe, Corvina.dll, CorvinaFramework.dll and
# the reference stable-diffusion.dll; lib/ the import libraries, the CMake
# package and corvina.pc. `cmake --build --preset windows --target package`
# zips that as corvina-<version>-win64.zip.
# Test fakes, benchmarks and fuzzers have no install rules.
include(CMakePackageConfigHelpers)

set(CORVINA_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Corvina)
set(CORVINA_INSTALL_MODELDIR ${CMAKE_INSTALL_DATADIR}/corvina/models)

foreach(unit framework utils binding generation vision face audio package)
  if(IS_DIRECTORY ${PROJECT_SOURCE_DIR}/${unit})
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/${unit}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/corvina/${unit}
            FILES_MATCHING PATTERN "*.h")
  endif()
endforeach()

if(WIN32)
  # Windows finds a program's DLLs beside it (or on PATH), so the package, the
  # framework layer and the reference diffusion backend sit beside the tool
  # in bin/; lib/ holds the import libraries that MinGW programs link. The
  # reference vision backend is Linux-only: applications bring sam2.dll.
  install(TARGETS Corvina CorvinaFramework EXPORT CorvinaTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  # Loaded at run time by name, never linked: no import library.
  install(TARGETS corvina_reference_diffusion RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} EXCLUDE_FROM_ALL)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/reference/diffusion/models/ DESTINATION ${CORVINA_INSTALL_MODELDIR})
  install(TARGETS corvina RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
  # libCorvina.so finds the framework library beside itself; both look there
  # first for libraries opened by bare name, where the reference backends sit.
  set_target_properties(Corvina CorvinaFramework PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS Corvina CorvinaFramework EXPORT CorvinaTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

  # The package's default search for an inference library (no folder set) is
  # the bare name, then the folder of libCorvina.so: the reference backends go
  # there so that an installed program works without configuration. They keep
  # the real libraries' unversioned file names, which is what the loader opens.
  install(TARGETS corvina_reference_diffusion sam2 LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/reference/diffusion/models/ ${PROJECT_SOURCE_DIR}/reference/vision/models/
          DESTINATION ${CORVINA_INSTALL_MODELDIR})

  # The tool looks for its sample models in ../share/corvina/models.
  file(RELATIVE_PATH corvina_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(corvina PROPERTIES INSTALL_RPATH "$ORIGIN/${corvina_bin_to_lib}")
  install(TARGETS corvina RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# find_package(Corvina 1.0): Corvina::Corvina, Corvina::Framework, and the
# reference backends' model folder as Corvina_MODELS_DIR.
install(EXPORT CorvinaTargets NAMESPACE Corvina:: DESTINATION ${CORVINA_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/CorvinaConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/CorvinaConfig.cmake
  INSTALL_DESTINATION ${CORVINA_INSTALL_CMAKEDIR}
  PATH_VARS CORVINA_INSTALL_MODELDIR CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/CorvinaConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/CorvinaConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/CorvinaConfigVersion.cmake
        DESTINATION ${CORVINA_INSTALL_CMAKEDIR})

# corvina.pc names the prefix given at install time (cmake --install --prefix),
# not the one configured, so it is written by the install step itself.
install(CODE "
  set(CORVINA_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(CORVINA_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(CORVINA_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(CORVINA_PC_MODELDIR \"${CORVINA_INSTALL_MODELDIR}\")
  set(CORVINA_PC_LANDMARK_MODEL \"${CORVINA_DLIB_SHAPE_MODEL}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/corvina.pc.in\" \"${CMAKE_CURRENT_BINARY_DIR}/corvina.pc\" @ONLY)
  file(INSTALL \"${CMAKE_CURRENT_BINARY_DIR}/corvina.pc\"
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME corvina)
  set(CPACK_PACKAGE_VENDOR Corvina)
  set(CPACK_PACKAGE_FILE_NAME corvina-${PROJECT_VERSION}-win64)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Corvina: generation, vision, face and voice components for C++")
  include(CPack)
endif()
