#pragma once

#include "corvane/export.hpp"

namespace corvane {

class IsaacSimClient;

/// Cameras in the scene, addressed by prim path.
/// Holds only a pointer to its client, which must outlive it.
class CORVANE_API Camera {
 public:
  explicit Camera(IsaacSimClient& client) noexcept : client_(&client) {}

  /// The client this family sends its requests through.
  IsaacSimClient& client() const noexcept { return *client_; }

 private:
  IsaacSimClient* client_;
};

}  // namespace corvane
