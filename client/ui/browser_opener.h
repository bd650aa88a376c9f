// dssetup ui: the desktop's browser opened on the page. The page's address holds the run's
// key, and a command line can be read by every local user (ps), so xdg-open is given a small
// file of this user's instead: it sends the browser on to the address. The file lies in a
// folder only this user can open (mode 0700, the file 0600) and goes with the opener.
#pragma once

#include <cstdio>
#include <string>

namespace dssetup::ui {

class BrowserOpener {
  public:
    BrowserOpener() = default;
    ~BrowserOpener();  // removes the file and its folder
    BrowserOpener(const BrowserOpener &) = delete;
    BrowserOpener &operator=(const BrowserOpener &) = delete;

    // Writes the forwarding file for `address` in a new folder under `base` (empty: the first
    // of $XDG_RUNTIME_DIR, $TMPDIR and /tmp that takes one); false with *error.
    bool Write(const std::string &address, const std::string &base, std::string *error);
    // Writes it and starts `xdg-open FILE` where there is a desktop ($DISPLAY or
    // $WAYLAND_DISPLAY); what went wrong, or that there is no desktop, is said on `err`.
    void Open(const std::string &address, std::FILE *err);

    // Removes the file and its folder (the destructor does too).
    void Remove();

    // The file (file:// address of it: file_url()), empty before Write().
    const std::string &file() const { return file_; }
    std::string file_url() const { return "file://" + file_; }

  private:
    std::string folder_;
    std::string file_;
};

}  // namespace dssetup::ui
