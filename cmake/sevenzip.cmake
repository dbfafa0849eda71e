# The 7-Zip archive code (7z handler with its LZMA, LZMA2, BCJ, BCJ2, Delta and
# Copy coders, coder mixer, CRC and file streams), built from Debian's source
# that scripts/setup.sh unpacks into third_party/7zip. It is an OBJECT library
# so that the coders' self-registration objects are always linked: from a
# plain static archive the linker would drop them and the handler could not
# decode any packed header.
set(ORV_7ZIP_DIR ${CMAKE_SOURCE_DIR}/third_party/7zip)
if(NOT EXISTS ${ORV_7ZIP_DIR}/CPP/7zip/Archive/7z/7zHandler.cpp)
  message(FATAL_ERROR "${ORV_7ZIP_DIR} is missing the 7-Zip source: run scripts/setup.sh")
endif()

set(_z7_cpp
  Common/CRC Common/CrcReg Common/IntToString Common/NewHandler Common/MyString
  Common/StringConvert Common/StringToInt Common/MyVector Common/Wildcard
  Windows/PropVariant Windows/Synchronization Windows/System
  Windows/FileIO Windows/FileName Windows/FileDir Windows/FileFind Windows/TimeUtils
  7zip/Common/CreateCoder 7zip/Common/CWrappers 7zip/Common/InBuffer
  7zip/Common/FilterCoder 7zip/Common/LimitedStreams 7zip/Common/MethodId
  7zip/Common/MethodProps 7zip/Common/OutBuffer 7zip/Common/ProgressUtils
  7zip/Common/PropId 7zip/Common/StreamBinder 7zip/Common/StreamObjects
  7zip/Common/StreamUtils 7zip/Common/VirtThread 7zip/Common/FileStreams
  7zip/Archive/Common/CoderMixer2 7zip/Archive/Common/HandlerOut
  7zip/Archive/Common/ItemNameUtils 7zip/Archive/Common/OutStreamWithCRC
  7zip/Archive/Common/ParseProperties
  7zip/Archive/7z/7zCompressionMode 7zip/Archive/7z/7zDecode 7zip/Archive/7z/7zExtract
  7zip/Archive/7z/7zHandler 7zip/Archive/7z/7zHeader 7zip/Archive/7z/7zIn
  7zip/Archive/7z/7zProperties
  7zip/Compress/Bcj2Coder 7zip/Compress/Bcj2Register 7zip/Compress/BcjCoder
  7zip/Compress/BcjRegister 7zip/Compress/BranchMisc 7zip/Compress/BranchRegister
  7zip/Compress/ByteSwap 7zip/Compress/CopyCoder 7zip/Compress/CopyRegister
  7zip/Compress/DeltaFilter 7zip/Compress/Lzma2Decoder 7zip/Compress/Lzma2Register
  7zip/Compress/LzmaDecoder 7zip/Compress/LzmaRegister)
set(_z7_c
  7zStream Alloc Bcj2 Bra Bra86 BraIA64 CpuArch Delta Lzma2Dec Lzma2DecMt LzmaDec
  MtDec SwapBytes Threads 7zCrc 7zCrcOpt)

set(_z7_sources)
foreach(f ${_z7_cpp})
  list(APPEND _z7_sources ${ORV_7ZIP_DIR}/CPP/${f}.cpp)
endforeach()
foreach(f ${_z7_c})
  list(APPEND _z7_sources ${ORV_7ZIP_DIR}/C/${f}.c)
endforeach()

# 7zguids.cpp defines the interface ids the archive code refers to.
add_library(orv_7zip_objects OBJECT ${_z7_sources} ${CMAKE_SOURCE_DIR}/src/libinstall/7zguids.cpp)
# The decoder's probabilities as 32-bit words and the CRC over 16 tables: both
# build options of the archive code, together about 2 % less processor time
# for the decoders (the CRC runs over every decoded byte).
target_compile_definitions(orv_7zip_objects PUBLIC Z7_EXTRACT_ONLY Z7_NO_CRYPTO UNICODE _UNICODE
  Z7_CRC_NUM_TABLES=16 Z7_LZMA_PROB32)
# Third-party code: its own warnings are not the project's to fix.
target_compile_options(orv_7zip_objects PRIVATE -w)
target_include_directories(orv_7zip_objects SYSTEM PUBLIC ${ORV_7ZIP_DIR}/CPP ${ORV_7ZIP_DIR}/C)

# The LZMA decoder takes its dictionary from the installer's pool, which
# keeps a freed dictionary for the next solid block.
set_source_files_properties(${ORV_7ZIP_DIR}/CPP/7zip/Compress/LzmaDecoder.cpp PROPERTIES
  COMPILE_DEFINITIONS g_AlignedAlloc=g_DictionaryPoolAlloc)
add_library(orv_dictionary_pool OBJECT ${CMAKE_SOURCE_DIR}/src/libinstall/dictionarypool.cpp)
target_link_libraries(orv_dictionary_pool PRIVATE orv_7zip_objects orv_flags)

# Consumers get the objects themselves on their link line (not inside a static
# archive of theirs), plus the include folders and the system libraries.
add_library(orv_7zip INTERFACE)
target_link_libraries(orv_7zip INTERFACE orv_7zip_objects orv_dictionary_pool "$<TARGET_OBJECTS:orv_7zip_objects>"
  "$<TARGET_OBJECTS:orv_dictionary_pool>" oleaut32 ole32 uuid)
