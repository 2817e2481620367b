#pragma once

#include "platform/foundation/NSError.h"
#include "platform/systemextensions/OSSystemExtensionRequest.h"

namespace velunto {

// Receives a request's progress on the request's queue. Exactly one of didFinishWithResult and
// didFailWithError ends a request.
class OSSystemExtensionRequestDelegate {
public:
    virtual ~OSSystemExtensionRequestDelegate() = default;
    virtual OSSystemExtensionReplacementAction actionForReplacingExtension(
        OSSystemExtensionRequest& request, const OSSystemExtensionProperties& existing,
        const OSSystemExtensionProperties& replacement) = 0;
    virtual void requestNeedsUserApproval(OSSystemExtensionRequest& request) = 0;
    virtual void didFinishWithResult(OSSystemExtensionRequest& request, OSSystemExtensionRequestResult result) = 0;
    virtual void didFailWithError(OSSystemExtensionRequest& request, const NSError& error) = 0;
};

}  // namespace velunto
