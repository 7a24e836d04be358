#pragma once
// The comparator behind IRdcLibrary::CreateComparator.
#include "codec/Rdc.h"

namespace rdc {

// Reads and checks the whole seed signature; E_FAIL when it is malformed or
// larger than the comparator accepts.
HRESULT MakeComparator(IRdcFileReader* seedSignatures, IRdcComparator** comparator);

}  // namespace rdc
