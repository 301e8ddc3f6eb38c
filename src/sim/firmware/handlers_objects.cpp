// Handlers of the objects family. No entries yet: their function ids answer
// CKR_FUNCTION_NOT_SUPPORTED until they are added here (see handlers.h).
#include "sim/firmware/handlers.h"

namespace vexa::sim {

void registerObjectHandlers(Registry& /*registry*/) {}

}  // namespace vexa::sim
