#include "platform/dialog.h"

namespace mirad {
namespace platform {

DialogOutcome ShowSystemDialog(void*, std::vector<DialogItem>*) { return DialogOutcome::Unavailable; }

}  // namespace platform
}  // namespace mirad
