// The page classes the session controller sends sessions to.
#pragma once

#include "web/app/user_session.h"

namespace kestrune {

SessionPages KestruneSessionPages();

}  // namespace kestrune
