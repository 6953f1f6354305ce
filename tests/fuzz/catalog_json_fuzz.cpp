// The backend's catalog document over any body: never throws, and a success always has images.
#include <string>

#include "config/service_config.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pl::net::HttpResponse response;
  response.ok = true;
  response.status = 200;
  response.body.assign(reinterpret_cast<const char*>(data), size);
  const pl::config::ServiceConfig config = pl::config::ServiceConfigFromResponse(response);
  PL_FUZZ_CHECK(config.ok == config.error.empty());
  PL_FUZZ_CHECK(!config.ok || !config.osImages.empty());
  return 0;
}
