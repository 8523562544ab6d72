// URDF reading with tinyxml2: links with their drawn radius, joints with type, origin, axis, limits and
// mimic, checked to form one tree.
#include <tinyxml2.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "robot_model.hpp"

namespace bridge_sim {
namespace {

using tinyxml2::XMLElement;

constexpr std::uintmax_t kMaxUrdfBytes = 16u << 20;
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<double> numbers(const char* text, std::size_t count, const std::string& what) {
  std::vector<double> values;
  const std::string_view s(text);
  std::size_t i = 0;
  while (values.size() < count) {
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    double value = 0;
    const auto [end, ec] = std::from_chars(s.data() + i, s.data() + s.size(), value);
    if (ec != std::errc() || !std::isfinite(value))
      throw UrdfError(what + " must hold " + std::to_string(count) + " numbers");
    values.push_back(value);
    i = static_cast<std::size_t>(end - s.data());
  }
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  if (i != s.size()) throw UrdfError(what + " must hold " + std::to_string(count) + " numbers");
  return values;
}

double number(const XMLElement& element, const char* attribute, const std::string& what,
              std::optional<double> fallback = std::nullopt) {
  const char* text = element.Attribute(attribute);
  if (text == nullptr) {
    if (fallback) return *fallback;
    throw UrdfError(what + " lacks the attribute '" + attribute + "'");
  }
  return numbers(text, 1, what + " attribute '" + attribute + "'")[0];
}

std::string requiredName(const XMLElement& element, const std::string& what) {
  const char* name = element.Attribute("name");
  if (name == nullptr || *name == '\0') throw UrdfError(what + " without a name");
  return name;
}

double visualRadius(const XMLElement& link) {
  const XMLElement* geometry = nullptr;
  if (const XMLElement* visual = link.FirstChildElement("visual")) geometry = visual->FirstChildElement("geometry");
  if (geometry == nullptr) return 0.04;
  const std::string what = "the visual geometry of link '" + std::string(link.Attribute("name")) + "'";
  double radius = 0.04;
  if (const XMLElement* cylinder = geometry->FirstChildElement("cylinder")) {
    radius = number(*cylinder, "radius", what);
  } else if (const XMLElement* sphere = geometry->FirstChildElement("sphere")) {
    radius = number(*sphere, "radius", what);
  } else if (const XMLElement* box = geometry->FirstChildElement("box")) {
    const auto size = numbers(box->Attribute("size") ? box->Attribute("size") : "", 3, what + " box size");
    radius = std::min(size[0], size[1]) / 2;
  }
  return std::clamp(radius, 0.005, 0.5);
}

Pose origin(const XMLElement& joint, const std::string& what) {
  const XMLElement* element = joint.FirstChildElement("origin");
  if (element == nullptr) return {};
  const char* xyzText = element->Attribute("xyz");
  const char* rpyText = element->Attribute("rpy");
  const auto xyz = numbers(xyzText ? xyzText : "0 0 0", 3, what + " origin xyz");
  const auto rpy = numbers(rpyText ? rpyText : "0 0 0", 3, what + " origin rpy");
  return {{xyz[0], xyz[1], xyz[2]}, fromRpy(rpy[0], rpy[1], rpy[2])};
}

JointType jointType(const char* text, const std::string& what) {
  const std::string type = text ? text : "";
  if (type == "revolute") return JointType::Revolute;
  if (type == "continuous") return JointType::Continuous;
  if (type == "prismatic") return JointType::Prismatic;
  if (type == "fixed") return JointType::Fixed;
  throw UrdfError(what + " has the unsupported type '" + type + "'");
}

std::size_t linkIndex(const RobotModel& model, const XMLElement& joint, const char* role, const std::string& what) {
  const XMLElement* element = joint.FirstChildElement(role);
  const char* name = element ? element->Attribute("link") : nullptr;
  if (name == nullptr) throw UrdfError(what + " lacks its " + role + " link");
  const auto index = model.findLink(name);
  if (!index) throw UrdfError(what + " names the unknown " + std::string(role) + " link '" + name + "'");
  return *index;
}

void readLimits(const XMLElement& element, Joint& joint, const std::string& what) {
  const XMLElement* limit = element.FirstChildElement("limit");
  if (joint.type == JointType::Fixed) return;
  if (limit == nullptr) throw UrdfError(what + " lacks its <limit>");
  if (joint.type == JointType::Continuous) {
    joint.lower = -kInf;
    joint.upper = kInf;
  } else {
    joint.lower = number(*limit, "lower", what + " limit", 0.0);
    joint.upper = number(*limit, "upper", what + " limit", 0.0);
    if (joint.lower > joint.upper) throw UrdfError(what + " has a lower limit above its upper limit");
  }
  joint.velocity = number(*limit, "velocity", what + " limit");
  if (joint.velocity <= 0) throw UrdfError(what + " needs a positive velocity limit");
}

Joint readJoint(const RobotModel& model, const XMLElement& element) {
  Joint joint;
  joint.name = requiredName(element, "a <joint>");
  const std::string what = "joint '" + joint.name + "'";
  joint.type = jointType(element.Attribute("type"), what);
  joint.parent = linkIndex(model, element, "parent", what);
  joint.child = linkIndex(model, element, "child", what);
  joint.origin = origin(element, what);
  if (const XMLElement* axis = element.FirstChildElement("axis")) {
    const auto xyz = numbers(axis->Attribute("xyz") ? axis->Attribute("xyz") : "", 3, what + " axis");
    joint.axis = normalized({xyz[0], xyz[1], xyz[2]});
    if (norm(joint.axis) == 0 && joint.type != JointType::Fixed) throw UrdfError(what + " has a zero axis");
  }
  readLimits(element, joint, what);
  return joint;
}

void readMimics(RobotModel& model, const XMLElement& robot) {
  std::size_t index = 0;
  for (const XMLElement* element = robot.FirstChildElement("joint"); element;
       element = element->NextSiblingElement("joint"), ++index) {
    const XMLElement* mimic = element->FirstChildElement("mimic");
    if (mimic == nullptr) continue;
    Joint& joint = model.joints[index];
    const std::string what = "the mimic of joint '" + joint.name + "'";
    const char* driverName = mimic->Attribute("joint");
    const auto driver = driverName ? model.findJoint(driverName) : std::nullopt;
    if (!driver || *driver == index) throw UrdfError(what + " names no other joint");
    if (joint.type == JointType::Fixed || model.joints[*driver].type == JointType::Fixed) {
      throw UrdfError(what + " involves a fixed joint");
    }
    joint.mimic = Mimic{*driver, number(*mimic, "multiplier", what, 1.0), number(*mimic, "offset", what, 0.0)};
  }
  for (const Joint& joint : model.joints) {
    if (joint.mimic && model.joints[joint.mimic->driver].mimic) {
      throw UrdfError("joint '" + joint.name + "' mimics a joint that is itself a mimic");
    }
  }
}

// Finds the root link and orders the joints parents first; rejects forests, cycles and two-parent links.
void orderTree(RobotModel& model) {
  std::vector<int> parentJoint(model.links.size(), -1);
  for (std::size_t j = 0; j < model.joints.size(); ++j) {
    const std::size_t child = model.joints[j].child;
    if (parentJoint[child] >= 0) throw UrdfError("link '" + model.links[child].name + "' has two parent joints");
    parentJoint[child] = static_cast<int>(j);
  }
  const auto roots = std::count(parentJoint.begin(), parentJoint.end(), -1);
  if (roots != 1) throw UrdfError("the links must form one tree (found " + std::to_string(roots) + " roots)");
  model.root = static_cast<std::size_t>(std::find(parentJoint.begin(), parentJoint.end(), -1) - parentJoint.begin());
  std::vector<std::size_t> frontier{model.root};
  while (!frontier.empty()) {
    const std::size_t link = frontier.back();
    frontier.pop_back();
    for (std::size_t j = 0; j < model.joints.size(); ++j) {
      if (model.joints[j].parent != link) continue;
      model.jointOrder.push_back(j);
      frontier.push_back(model.joints[j].child);
    }
  }
  if (model.jointOrder.size() != model.joints.size()) throw UrdfError("the joints form a cycle");
}

void readLinks(RobotModel& model, const XMLElement& robot) {
  for (const XMLElement* element = robot.FirstChildElement("link"); element;
       element = element->NextSiblingElement("link")) {
    Link link{requiredName(*element, "a <link>"), 0.04};
    if (model.findLink(link.name)) throw UrdfError("two links are named '" + link.name + "'");
    link.radius = visualRadius(*element);
    model.links.push_back(std::move(link));
  }
  if (model.links.empty()) throw UrdfError("the robot has no <link>");
}

void readJoints(RobotModel& model, const XMLElement& robot) {
  for (const XMLElement* element = robot.FirstChildElement("joint"); element;
       element = element->NextSiblingElement("joint")) {
    Joint joint = readJoint(model, *element);
    if (model.findJoint(joint.name)) throw UrdfError("two joints are named '" + joint.name + "'");
    model.joints.push_back(std::move(joint));
  }
}

}  // namespace

const char* jointTypeName(JointType type) {
  switch (type) {
    case JointType::Revolute:
      return "revolute";
    case JointType::Continuous:
      return "continuous";
    case JointType::Prismatic:
      return "prismatic";
    case JointType::Fixed:
      return "fixed";
  }
  return "fixed";
}

std::optional<std::size_t> RobotModel::findLink(std::string_view linkName) const {
  for (std::size_t i = 0; i < links.size(); ++i) {
    if (links[i].name == linkName) return i;
  }
  return std::nullopt;
}

std::optional<std::size_t> RobotModel::findJoint(std::string_view jointName) const {
  for (std::size_t i = 0; i < joints.size(); ++i) {
    if (joints[i].name == jointName) return i;
  }
  return std::nullopt;
}

RobotModel parseUrdf(std::string_view text) {
  tinyxml2::XMLDocument document;
  if (document.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS) {
    throw UrdfError(std::string("not well-formed XML (") + document.ErrorName() + " at line " +
                    std::to_string(document.ErrorLineNum()) + ")");
  }
  const XMLElement* robot = document.RootElement();
  if (robot == nullptr || std::string_view(robot->Name()) != "robot")
    throw UrdfError("the root element is not <robot>");
  RobotModel model;
  model.name = robot->Attribute("name") ? robot->Attribute("name") : "";
  readLinks(model, *robot);
  readJoints(model, *robot);
  readMimics(model, *robot);
  orderTree(model);
  for (std::size_t j = 0; j < model.joints.size(); ++j) {
    if (model.joints[j].type != JointType::Fixed && !model.joints[j].mimic) model.dofs.push_back(j);
  }
  return model;
}

RobotModel loadUrdfFile(const std::string& path) {
  std::error_code ec;
  // Only regular files: a FIFO or a device would block or never end.
  if (path.empty() || !std::filesystem::is_regular_file(path, ec)) throw UrdfError("no such regular file");
  const auto size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxUrdfBytes) throw UrdfError("the file is larger than 16 MiB or cannot be sized");
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (!(in && text << in.rdbuf())) throw UrdfError("the file cannot be read");
  return parseUrdf(text.str());
}

}  // namespace bridge_sim
