// Defines, once for the whole program, the interface ids that the 7z archive
// code and the decompression bridge refer to.
#include "Common/MyInitGuid.h"

#include "7zip/Archive/IArchive.h"
#include "7zip/ICoder.h"
#include "7zip/IPassword.h"
#include "7zip/IProgress.h"
#include "7zip/IStream.h"
