#include "platform/desktop/Trash.h"

#include "platform/desktop/GioLibrary.h"

namespace platform {

bool moveToTrash(const std::string& path, Error* error) {
    const GioLibrary& gio = gioLibrary();
    if (!gio.loaded) {
        if (error) *error = Error{"GIO", -1, "GIO is not available"};
        return false;
    }
    GFile* file = gio.fileForPath(path.c_str());
    GError* gerror = nullptr;
    const bool ok = gio.fileTrash(file, nullptr, &gerror);
    gio.objectUnref(file);
    if (!ok) {
        if (error) *error = Error{"GIO", gerror ? gerror->code : -1, gerror ? gerror->message : ""};
        if (gerror) g_error_free(gerror);
    }
    return ok;
}

}  // namespace platform
