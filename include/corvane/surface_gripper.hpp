#pragma once

#include "corvane/export.hpp"

namespace corvane {

class IsaacSimClient;

/// Surface grippers in the scene, addressed by prim path.
/// Holds only a pointer to its client, which must outlive it.
class CORVANE_API SurfaceGripper {
 public:
  explicit SurfaceGripper(IsaacSimClient& client) noexcept : client_(&client) {}

  /// The client this family sends its requests through.
  IsaacSimClient& client() const noexcept { return *client_; }

 private:
  IsaacSimClient* client_;
};

}  // namespace corvane
