// The system's own dialog for a short list of settings, where there is one
// (Windows: a dialog from the module's resources). POSIX has none; hosts
// there give their own dialog services (interface/configure.cpp).
#pragma once

#include <string>
#include <vector>

namespace mirad {
namespace platform {

struct DialogItem {
    enum class Kind { Flag, Choice, Number };
    Kind kind;
    std::string caption;
    std::vector<std::string> choices;  // for Choice
    int value;                         // Flag 0 or 1, Choice an index, Number the number
};

// The settings dialog's rows, in order: seven flags, one choice, one number.
constexpr int kDialogFlags = 7;

enum class DialogOutcome { Unavailable, Confirmed, Cancelled };

// Shows the dialog over `parent` (a window handle, or null) and waits for
// it; Confirmed leaves the user's choices in the items (a Number without a
// number in it: 0). Unavailable at once where the system has no such dialog
// or `items` does not match its rows.
DialogOutcome ShowSystemDialog(void* parent, std::vector<DialogItem>* items);

}  // namespace platform
}  // namespace mirad
