#pragma once

// Small 3-D helpers for the scene: vectors, unit quaternions (w, x, y, z) and rigid poses.
#include <cmath>

namespace bridge_sim {

struct Vec3 {
  double x = 0, y = 0, z = 0;
};

inline Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 operator*(Vec3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
inline double dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3 cross(Vec3 a, Vec3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
inline double norm(Vec3 a) { return std::sqrt(dot(a, a)); }
inline Vec3 normalized(Vec3 a) {
  const double n = norm(a);
  return n > 0 ? a * (1.0 / n) : a;
}

struct Quat {
  double w = 1, x = 0, y = 0, z = 0;
};

inline Quat operator*(Quat a, Quat b) {
  return {a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
          a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x, a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

/// Rotation by `angle` radians about the unit vector `axis`.
inline Quat axisAngle(Vec3 axis, double angle) {
  const double s = std::sin(angle / 2);
  return {std::cos(angle / 2), axis.x * s, axis.y * s, axis.z * s};
}

/// Fixed-axis roll, pitch, yaw (about x, then y, then z), as in URDF origins.
inline Quat fromRpy(double roll, double pitch, double yaw) {
  return axisAngle({0, 0, 1}, yaw) * axisAngle({0, 1, 0}, pitch) * axisAngle({1, 0, 0}, roll);
}

inline Vec3 rotate(Quat q, Vec3 v) {
  const Vec3 u{q.x, q.y, q.z};
  const Vec3 t = cross(u, v) * 2.0;
  return v + t * q.w + cross(u, t);
}

struct Pose {
  Vec3 position;
  Quat orientation;
};

/// `a` followed by `b` expressed in a's frame.
inline Pose operator*(const Pose& a, const Pose& b) {
  return {a.position + rotate(a.orientation, b.position), a.orientation * b.orientation};
}

inline Vec3 apply(const Pose& pose, Vec3 v) { return pose.position + rotate(pose.orientation, v); }

/// Orientation whose x axis looks along `forward` with z as close to world up as possible (camera frames).
inline Quat lookRotation(Vec3 forward, Vec3 up) {
  const Vec3 f = normalized(forward);
  const Vec3 left = normalized(cross(up, f));
  const Vec3 u = cross(f, left);
  // Rotation matrix with columns f, left, u; converted to a quaternion.
  const double m00 = f.x, m01 = left.x, m02 = u.x, m10 = f.y, m11 = left.y, m12 = u.y, m20 = f.z, m21 = left.z,
               m22 = u.z;
  const double trace = m00 + m11 + m22;
  Quat q;
  if (trace > 0) {
    const double s = std::sqrt(trace + 1.0) * 2;
    q = {0.25 * s, (m21 - m12) / s, (m02 - m20) / s, (m10 - m01) / s};
  } else if (m00 > m11 && m00 > m22) {
    const double s = std::sqrt(1.0 + m00 - m11 - m22) * 2;
    q = {(m21 - m12) / s, 0.25 * s, (m01 + m10) / s, (m02 + m20) / s};
  } else if (m11 > m22) {
    const double s = std::sqrt(1.0 + m11 - m00 - m22) * 2;
    q = {(m02 - m20) / s, (m01 + m10) / s, 0.25 * s, (m12 + m21) / s};
  } else {
    const double s = std::sqrt(1.0 + m22 - m00 - m11) * 2;
    q = {(m10 - m01) / s, (m02 + m20) / s, (m12 + m21) / s, 0.25 * s};
  }
  return q;
}

}  // namespace bridge_sim
