#include "platform/dispatch/QoS.h"

namespace platform::dispatch {

std::string_view toString(QoS qos) {
  switch (qos) {
    case QoS::Unspecified:
      return "unspecified";
    case QoS::Background:
      return "background";
    case QoS::Utility:
      return "utility";
    case QoS::Default:
      return "default";
    case QoS::UserInitiated:
      return "user-initiated";
    case QoS::UserInteractive:
      return "user-interactive";
  }
  return "unspecified";
}

}  // namespace platform::dispatch
