#pragma once
// Reading a response body after rest_client::request.
#include <cstdint>
#include <vector>

#include "update/Result.h"
#include "update/rest/DataWriter.h"
#include "update/rest/InternetHandle.h"
#include "update/rest/RestClient.h"

namespace Zelt::RESTAPI {

// kOk when the whole body was read; kFail; kAbort when the callback asked to stop.
HRESULT read_response(const internet_handle& request, data_writer& writer,
                      const download_progress& progress, void* context, bool allow_decoding);

// Whatever was read, also after a failure, replaces `bytes`.
HRESULT read_response_bytes(const internet_handle& request, std::vector<std::uint8_t>& bytes,
                            const download_progress& progress, void* context, bool allow_decoding);

}  // namespace Zelt::RESTAPI
