#include "platform/desktop/Trash.h"

#include <gio/gio.h>

namespace platform {

bool moveToTrash(const std::string& path, Error* error) {
    GFile* file = g_file_new_for_path(path.c_str());
    GError* gerror = nullptr;
    const bool ok = g_file_trash(file, nullptr, &gerror);
    g_object_unref(file);
    if (!ok) {
        if (error) *error = Error{"GIO", gerror ? gerror->code : -1, gerror ? gerror->message : ""};
        if (gerror) g_error_free(gerror);
    }
    return ok;
}

}  // namespace platform
