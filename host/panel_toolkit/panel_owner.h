// The one thing the panel toolkit knows of the host that serves it.
#pragma once

#include <string>

#include "host/breaches/breaches.h"

namespace headless {

// What the toolkit needs of the host that serves it: where breaches of the
// panel contract are recorded, whether a server runs and which, and the
// desktop's size. The host hands itself over as this, so the toolkit stands
// below the host and knows nothing else of it.
class PanelOwner {
public:
    virtual void violation(Breach breach, const std::string &what) = 0;
    virtual bool in_activation() const = 0;
    virtual int activation_serial() const = 0;
    virtual void desktop_size(int *width, int *height) const = 0;

protected:
    ~PanelOwner() = default;
};

}  // namespace headless
