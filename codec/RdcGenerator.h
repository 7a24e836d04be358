#pragma once
// The signature generator behind IRdcLibrary::CreateGenerator.
#include "codec/Rdc.h"

namespace rdc {

RdcPtr<IRdcGenerator> MakeGenerator(const ChunkParameters& parameters);

}  // namespace rdc
