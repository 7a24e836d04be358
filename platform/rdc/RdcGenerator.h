#pragma once
// The signature generator behind IRdcLibrary::CreateGenerator.
#include "platform/rdc/Rdc.h"

namespace rdc {

RdcPtr<IRdcGenerator> MakeGenerator(const ChunkParameters& parameters);

}  // namespace rdc
