// client.articulation, client.surface_gripper and client.camera: every operation of the C++ families, in
// snake_case, with absent options as None, and the GIL released while the request runs.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <corvane/client.hpp>

#include "frame.hpp"
#include "json_convert.hpp"
#include "stream.hpp"
#include "text_arg.hpp"

namespace corvane::python {
namespace {

using namespace pybind11::literals;
using std::optional;
using std::string_view;
using Positions = std::vector<double>;
using Indices = optional<std::vector<int>>;
using Names = optional<std::vector<std::string>>;

// An axis range given as an AxisRange or as a pair (minimum, maximum).
AxisRange toAxisRange(py::handle value) {
  if (py::isinstance<AxisRange>(value)) return value.cast<AxisRange>();
  const auto pair = py::cast<std::vector<double>>(value);
  if (pair.size() != 2)
    throw py::value_error("an axis range is (minimum, maximum), not " + std::to_string(pair.size()) + " values");
  return AxisRange{pair[0], pair[1]};
}

optional<AxisRange> toOptionalAxisRange(py::handle value) {
  if (value.is_none()) return std::nullopt;
  return toAxisRange(value);
}

AxisLimits makeAxisLimits(py::handle x, py::handle y, py::handle z) {
  return AxisLimits{toOptionalAxisRange(x), toOptionalAxisRange(y), toOptionalAxisRange(z)};
}

// Axis limits given as AxisLimits, or as a mapping of "x", "y", "z" (any of them) to ranges.
optional<AxisLimits> toAxisLimits(py::handle value) {
  if (value.is_none()) return std::nullopt;
  if (py::isinstance<AxisLimits>(value)) return value.cast<AxisLimits>();
  if (!py::isinstance<py::dict>(value)) {
    throw py::type_error("axis limits are an AxisLimits or a dict of \"x\", \"y\", \"z\", not " +
                         std::string(py::str(py::type::handle_of(value).attr("__name__"))));
  }
  const auto axes = py::reinterpret_borrow<py::dict>(value);
  for (const auto& [key, range] : axes) {
    const std::string name = py::str(key);
    if (name != "x" && name != "y" && name != "z") throw py::value_error("unknown axis " + std::string(py::repr(key)));
  }
  const py::object none = py::none();
  return makeAxisLimits(axes.contains("x") ? axes["x"] : none, axes.contains("y") ? axes["y"] : none,
                        axes.contains("z") ? axes["z"] : none);
}

// A JSON option where None leaves it out and corvane.JSON_NULL sends null.
optional<nlohmann::json> toOptionalJson(py::handle value) {
  if (value.is_none()) return std::nullopt;
  return toJson(value);
}

py::object optionalRepr(const optional<AxisRange>& range) {
  if (!range) return py::str("None");
  return py::str("({}, {})").format(range->minimum, range->maximum);
}

void bindAxisLimits(py::module_& module) {
  py::class_<AxisRange>(module, "AxisRange", "One axis's limits, carried as given.")
      .def(py::init([](double minimum, double maximum) {
             return AxisRange{minimum, maximum};
           }),
           "minimum"_a, "maximum"_a, "An axis range; nothing about the values is checked.")
      .def_readwrite("minimum", &AxisRange::minimum, "The lower limit.")
      .def_readwrite("maximum", &AxisRange::maximum, "The upper limit.")
      .def("__eq__",
           [](const AxisRange& a, const AxisRange& b) { return a.minimum == b.minimum && a.maximum == b.maximum; })
      .def("__repr__",
           [](const AxisRange& range) { return py::str("AxisRange({}, {})").format(range.minimum, range.maximum); });
  py::class_<AxisLimits>(module, "AxisLimits",
                         "Per-axis limits; an axis left as None is sent as null. Each axis is an AxisRange or a "
                         "pair (minimum, maximum).")
      .def(py::init(&makeAxisLimits), py::kw_only(), "x"_a = py::none(), "y"_a = py::none(), "z"_a = py::none(),
           "Limits per axis, each an AxisRange, a pair (minimum, maximum) or None. Raises ValueError for a\n"
           "pair of another length.")
      .def_readonly("x", &AxisLimits::x, "The x axis's AxisRange, or None.")
      .def_readonly("y", &AxisLimits::y, "The y axis's AxisRange, or None.")
      .def_readonly("z", &AxisLimits::z, "The z axis's AxisRange, or None.")
      .def("__repr__", [](const AxisLimits& limits) {
        return py::str("AxisLimits(x={}, y={}, z={})")
            .format(optionalRepr(limits.x), optionalRepr(limits.y), optionalRepr(limits.z));
      });
}

constexpr const char* kReturns =
    "\nReturns the bridge's JSON reply as dict/list/... ({} for an empty one). Raises HTTPError for a status\n"
    "outside 200..299, TransportError when the last attempt fails in transport, ValueError for a prim path\n"
    "that is not valid Unicode or a reply that is not JSON.";

std::string doc(const char* what) { return std::string(what) + kReturns; }

using PrimPath = Text<kPrimPath>;

void bindArticulation(py::module_& module) {
  py::class_<Articulation>(module, "Articulation",
                           "Robots (articulations) in the scene, addressed by prim path (client.articulation).\n"
                           "Every operation is one request under /articulations/<prim_path>.")
      .def(
          "create",
          [](Articulation& a, const PrimPath& path, const std::optional<Text<kUrdfPath>>& urdf) {
            return released([&] { return a.create(path, viewOf(urdf)); });
          },
          "prim_path"_a, "urdf_path"_a = py::none(),
          doc("PUT /articulations {\"prim_path\", \"urdf_path\"}: creates the articulation at `prim_path`, from\n"
              "the URDF file `urdf_path` (a path on the bridge's machine) when given.")
              .c_str())
      .def(
          "remove", [](Articulation& a, const PrimPath& path) { released([&] { a.remove(path); }); }, "prim_path"_a,
          "DELETE /articulations/<prim_path>. Returns None; raises as the other operations do.")
      .def(
          "get_driver_joint",
          [](Articulation& a, const PrimPath& path) { return released([&] { return a.getDriverJoint(path); }); },
          "prim_path"_a, doc("GET /articulations/<prim_path>/driver_joint.").c_str())
      .def(
          "set_driven_joints",
          [](Articulation& a, const PrimPath& path, const Texts<kJointNames>& names) {
            return released([&] { return a.setDrivenJoints(path, names.values); });
          },
          "prim_path"_a, "joint_names"_a,
          doc("PUT /articulations/<prim_path>/driven_joints {\"joint_names\"}: the names in order.").c_str())
      .def(
          "get_dof_limits",
          [](Articulation& a, const PrimPath& path) { return released([&] { return a.getDofLimits(path); }); },
          "prim_path"_a, doc("GET /articulations/<prim_path>/dof_limits: each joint's limits.").c_str())
      .def(
          "get_joints_state",
          [](Articulation& a, const PrimPath& path) { return released([&] { return a.getJointsState(path); }); },
          "prim_path"_a, doc("GET /articulations/<prim_path>/joints_state: positions, velocities, efforts.").c_str())
      .def(
          "set_joint_positions",
          [](Articulation& a, const PrimPath& path, const Positions& positions, const Indices& indices) {
            return released([&] { return a.setJointPositions(path, positions, indices); });
          },
          "prim_path"_a, "positions"_a, "indices"_a = py::none(),
          doc("POST /articulations/<prim_path>/set_j {\"indices\", \"joint_positions\"}: sets the joints at once\n"
              "(teleports them). `positions` (floats, a numpy array too) go to the joints `indices` (ints or an\n"
              "integer array; None: all joints in order). Non-finite positions are sent as null.")
              .c_str())
      .def(
          "move_joint_positions",
          [](Articulation& a, const PrimPath& path, const Positions& positions, const Indices& indices,
             bool asynchronous) {
            return released([&] { return a.moveJointPositions(path, positions, indices, asynchronous); });
          },
          "prim_path"_a, "positions"_a, "indices"_a = py::none(), "asynchronous"_a = false,
          doc("POST /articulations/<prim_path>/move_j {\"asynchronous\", \"indices\", \"joint_positions\"}: drives\n"
              "the joints to `positions` (as for set_joint_positions). The reply comes when the move ends unless\n"
              "`asynchronous`: a long move needs a timeout above its duration, e.g. through\n"
              "client.with_options(timeout=...).")
              .c_str())
      .def(
          "assemble_robot",
          [](Articulation& a, const PrimPath& path, const Text<kGripperId>& gripper, const Text<kArmMountLink>& armLink,
             const std::optional<Text<kGripperMountLink>>& gripperLink, py::handle offset, bool maskCollisions) {
            const optional<nlohmann::json> pose = toOptionalJson(offset);
            return released(
                [&] { return a.assembleRobot(path, gripper, armLink, viewOf(gripperLink), pose, maskCollisions); });
          },
          "prim_path"_a, "gripper_id"_a, "arm_mount_link"_a, "gripper_mount_link"_a = py::none(),
          "offset"_a = py::none(), "mask_collisions"_a = true,
          doc("POST /articulations/<prim_path>/assemble_robot {\"arm_mount_link\", \"gripper_id\",\n"
              "\"gripper_mount_link\", \"mask_collisions\", \"offset\"}: mounts gripper `gripper_id` on the arm.\n"
              "`offset` is any JSON value, sent as given (None: null).")
              .c_str())
      .def(
          "stream_joint_positions",
          [](Articulation& a, const PrimPath& path) {
            return std::make_unique<Stream>(released([&] { return a.streamJointPositions(path); }));
          },
          "prim_path"_a,
          "Opens the joint-position stream of the articulation (a Stream; client.open_joint_position_stream).\n"
          "Raises HandshakeError when the bridge refuses or does not answer.")
      .def(
          "stream_articulation_state",
          [](Articulation& a, const PrimPath& path) {
            return std::make_unique<Stream>(released([&] { return a.streamArticulationState(path); }));
          },
          "prim_path"_a,
          "Opens the articulation-state stream of the articulation (a Stream). Raises HandshakeError when the\n"
          "bridge refuses or does not answer.");
}

GripperProperties gripperProperties(optional<double> coaxialForceLimit, optional<double> shearForceLimit,
                                    optional<double> maxGripDistance, optional<double> retryInterval,
                                    py::handle rotationLimits, py::handle translationLimits,
                                    optional<std::string> forwardAxis) {
  GripperProperties properties;
  properties.coaxialForceLimit = coaxialForceLimit;
  properties.shearForceLimit = shearForceLimit;
  properties.maxGripDistance = maxGripDistance;
  properties.retryInterval = retryInterval;
  properties.rotationLimits = toAxisLimits(rotationLimits);
  properties.translationLimits = toAxisLimits(translationLimits);
  properties.forwardAxis = std::move(forwardAxis);
  return properties;
}

AttachmentPointProperties attachmentPointProperties(Names jointPaths, py::handle localPose0, py::handle localPose1,
                                                    optional<double> stiffness, optional<double> damping,
                                                    py::handle rotationLimits, py::handle translationLimits,
                                                    optional<double> clearanceOffset,
                                                    optional<std::string> forwardAxis) {
  AttachmentPointProperties properties;
  properties.jointPaths = std::move(jointPaths);
  properties.localPose0 = toOptionalJson(localPose0);
  properties.localPose1 = toOptionalJson(localPose1);
  properties.zAxisTranslationDriveStiffness = stiffness;
  properties.zAxisTranslationDriveDamping = damping;
  properties.rotationLimits = toAxisLimits(rotationLimits);
  properties.translationLimits = toAxisLimits(translationLimits);
  properties.clearanceOffset = clearanceOffset;
  properties.forwardAxis = std::move(forwardAxis);
  return properties;
}

void bindSurfaceGripper(py::module_& module) {
  using Query = nlohmann::json (SurfaceGripper::*)(string_view);
  const auto query = [](Query call) {
    return [call](SurfaceGripper& g, const PrimPath& path) { return released([&] { return (g.*call)(path); }); };
  };
  py::class_<SurfaceGripper>(module, "SurfaceGripper",
                             "Surface grippers in the scene, addressed by prim path (client.surface_gripper). Every\n"
                             "operation is one request under /surface_grippers/<prim_path>.")
      .def("create", query(&SurfaceGripper::create), "prim_path"_a,
           doc("PUT /surface_grippers {\"prim_path\"}: creates a surface gripper.").c_str())
      .def(
          "remove", [](SurfaceGripper& g, const PrimPath& path) { released([&] { g.remove(path); }); }, "prim_path"_a,
          "DELETE /surface_grippers/<prim_path>. Returns None; raises as the other operations do.")
      .def("get", query(&SurfaceGripper::get), "prim_path"_a,
           doc("GET /surface_grippers/<prim_path>: the gripper's description.").c_str())
      .def(
          "close",
          [](SurfaceGripper& g, const PrimPath& path, bool asynchronous) {
            return released([&] { return g.close(path, asynchronous); });
          },
          "prim_path"_a, "asynchronous"_a = false,
          doc("POST /surface_grippers/<prim_path>/close {\"asynchronous\"}: closes the gripper (the reply\n"
              "comes when it is closed unless `asynchronous`).")
              .c_str())
      .def(
          "open",
          [](SurfaceGripper& g, const PrimPath& path, bool asynchronous) {
            return released([&] { return g.open(path, asynchronous); });
          },
          "prim_path"_a, "asynchronous"_a = false,
          doc("POST /surface_grippers/<prim_path>/open {\"asynchronous\"}: opens the gripper.").c_str())
      .def("get_status", query(&SurfaceGripper::getStatus), "prim_path"_a,
           doc("GET /surface_grippers/<prim_path>/status.").c_str())
      .def("get_properties", query(&SurfaceGripper::getProperties), "prim_path"_a,
           doc("GET /surface_grippers/<prim_path>/properties.").c_str())
      .def("get_attachment_points", query(&SurfaceGripper::getAttachmentPoints), "prim_path"_a,
           doc("GET /surface_grippers/<prim_path>/attachment_points.").c_str())
      .def(
          "set_properties",
          [](SurfaceGripper& g, const PrimPath& path, optional<double> coaxial, optional<double> shear,
             optional<double> distance, optional<double> retry, py::handle rotation, py::handle translation,
             const optional<Text<kForwardAxis>>& axis) {
            const GripperProperties properties =
                gripperProperties(coaxial, shear, distance, retry, rotation, translation,
                                  axis ? optional<std::string>(axis->value) : std::nullopt);
            return released([&] { return g.setProperties(path, properties); });
          },
          "prim_path"_a, py::kw_only(), "coaxial_force_limit"_a = py::none(), "shear_force_limit"_a = py::none(),
          "max_grip_distance"_a = py::none(), "retry_interval"_a = py::none(), "rotation_limits"_a = py::none(),
          "translation_limits"_a = py::none(), "forward_axis"_a = py::none(),
          doc("PATCH /surface_grippers/<prim_path>/properties with the settings given (keyword arguments);\n"
              "the others are left out of the request. Limits are AxisLimits or a dict of \"x\", \"y\", \"z\" to\n"
              "(minimum, maximum).")
              .c_str())
      .def(
          "set_attachment_point_properties",
          [](SurfaceGripper& g, const PrimPath& path, optional<Texts<kJointPaths>> joints, py::handle pose0,
             py::handle pose1, optional<double> stiffness, optional<double> damping, py::handle rotation,
             py::handle translation, optional<double> clearance, const optional<Text<kForwardAxis>>& axis) {
            const AttachmentPointProperties properties = attachmentPointProperties(
                valuesOf(std::move(joints)), pose0, pose1, stiffness, damping, rotation, translation, clearance,
                axis ? optional<std::string>(axis->value) : std::nullopt);
            return released([&] { return g.setAttachmentPointProperties(path, properties); });
          },
          "prim_path"_a, py::kw_only(), "joint_paths"_a = py::none(), "local_pose_0"_a = py::none(),
          "local_pose_1"_a = py::none(), "z_axis_translation_drive_stiffness"_a = py::none(),
          "z_axis_translation_drive_damping"_a = py::none(), "rotation_limits"_a = py::none(),
          "translation_limits"_a = py::none(), "clearance_offset"_a = py::none(), "forward_axis"_a = py::none(),
          doc("PATCH /surface_grippers/<prim_path>/attachment_points with the settings given (keyword\n"
              "arguments) for every attachment point; a local pose of corvane.JSON_NULL is sent as null.")
              .c_str());
}

void bindCamera(py::module_& module) {
  py::class_<Camera>(module, "Camera",
                     "Cameras in the scene, addressed by prim path (client.camera). Every operation is one request\n"
                     "under /cameras/<prim_path>.")
      .def(
          "create",
          [](Camera& c, const PrimPath& path, const Indices& resolution, optional<double> frequency) {
            return released([&] { return c.create(path, resolution, frequency); });
          },
          "prim_path"_a, "resolution"_a = py::none(), "frequency"_a = py::none(),
          doc("PUT /cameras {\"prim_path\", \"resolution\", \"frequency\"}: creates a camera; `resolution`\n"
              "(width, height) and `frequency` (Hz) are left out when None.")
              .c_str())
      .def(
          "remove", [](Camera& c, const PrimPath& path) { released([&] { c.remove(path); }); }, "prim_path"_a,
          "DELETE /cameras/<prim_path>. Returns None; raises as the other operations do.")
      .def(
          "capture",
          [](Camera& c, const PrimPath& path, const optional<TextOrTexts<kDataTypes>>& dataTypes,
             optional<bool> worldFrame) {
            const Names types = dataTypes ? Names(dataTypes->values) : std::nullopt;
            return Frame(released([&] { return c.captureShared(path, types, worldFrame); }));
          },
          "prim_path"_a, "data_types"_a = py::none(), "world_frame"_a = py::none(),
          "POST /cameras/<prim_path>/capture {\"data_types\", \"world_frame\"} (each left out when None; one\n"
          "name for `data_types` is a list of it): "
          "captures a frame and returns it as a Frame. The reply is read once into one buffer and the outputs\n"
          "are views of it: numpy arrays of them copy nothing. Raises HTTPError for a failure status, FrameError\n"
          "for a reply that is not a frame, TransportError when the transport fails.")
      .def(
          "capture_all",
          [](Camera& c, const Texts<kPrimPaths>& paths, const optional<TextOrTexts<kDataTypes>>& dataTypes,
             optional<bool> worldFrame) {
            const Names types = dataTypes ? Names(dataTypes->values) : std::nullopt;
            std::vector<SharedFrame> frames =
                released([&] { return c.captureAllShared(paths.values, types, worldFrame); });
            py::list result;
            for (SharedFrame& frame : frames) result.append(Frame(std::move(frame)));
            return result;
          },
          "prim_paths"_a, "data_types"_a = py::none(), "world_frame"_a = py::none(),
          "Captures every camera at once (one batch) with the same options and returns their Frames in the\n"
          "order of `prim_paths`, each a view of its own reply as capture() gives. Every capture runs to its\n"
          "end; then the first failure in that order is raised as capture() would raise it.");
}

}  // namespace

void bindFamilies(py::module_& module) {
  bindAxisLimits(module);
  bindArticulation(module);
  bindSurfaceGripper(module);
  bindCamera(module);
}

}  // namespace corvane::python
