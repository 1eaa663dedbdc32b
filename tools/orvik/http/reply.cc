#include "http/reply.h"

#include "base/json.h"
#include "base/utf8.h"

namespace orvik_host {

api_reply error_reply(int status, std::string_view error_type, std::string_view message) {
  mut_doc_ptr doc(yyjson_mut_doc_new(nullptr));
  api_reply reply;
  reply.status = status;
  if (!doc) {
    reply.body = "{}";
    return reply;
  }
  yyjson_mut_val *root = yyjson_mut_obj(doc.get());
  yyjson_mut_doc_set_root(doc.get(), root);
  yyjson_mut_obj_add_str(doc.get(), root, "status", "error");
  yyjson_mut_obj_add_strncpy(doc.get(), root, "errorType", error_type.data(), error_type.size());
  const std::string error = replace_invalid_utf8(message);
  yyjson_mut_obj_add_strncpy(doc.get(), root, "error", error.data(), error.size());
  reply.body = write_compact(doc.get());
  return reply;
}

}  // namespace orvik_host
