// dssetup ui: the files of the setup page (HTML, CSS, JavaScript), built into the program so
// that the page needs nothing from the network.
#pragma once

#include <string_view>

namespace dssetup::ui {

struct Asset {
    std::string_view path;  // as requested: "/", "/app.js"
    std::string_view type;  // Content-Type
    std::string_view body;
};

// The file served for a request path; nullptr for none.
const Asset *FindAsset(std::string_view path);

}  // namespace dssetup::ui
