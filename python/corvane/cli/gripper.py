"""corvane gripper ...: the surface gripper operations, one command each."""

from __future__ import annotations

import argparse
from typing import Any, Callable, Dict, Optional

import corvane

from .common import UsageError, add_prim, family_command, leaf, load_json

Operation = Callable[[corvane.SurfaceGripper, argparse.Namespace], Any]


def limits(text: Optional[str], option: str) -> Any:
    """Axis limits as JSON, e.g. {"x": [-0.1, 0.1], "z": [0, 0.2]}."""
    if text is None:
        return None
    value = load_json(text, option)
    if not isinstance(value, dict):
        raise UsageError(f"{option} must be a JSON object of axes, e.g. '{{\"x\": [-0.1, 0.1]}}'")
    return value


def pose(text: Optional[str], option: str) -> Any:
    """A local pose as JSON; "null" sends an explicit null."""
    if text is None:
        return None
    value = load_json(text, option)
    return corvane.JSON_NULL if value is None else value


def numbers(args: argparse.Namespace, *names: str) -> Dict[str, Any]:
    return {name: getattr(args, name) for name in names}


def close(gripper: corvane.SurfaceGripper, args: argparse.Namespace) -> Any:
    return gripper.close(args.prim, args.asynchronous)


def open_(gripper: corvane.SurfaceGripper, args: argparse.Namespace) -> Any:
    return gripper.open(args.prim, args.asynchronous)


def set_properties(gripper: corvane.SurfaceGripper, args: argparse.Namespace) -> Any:
    return gripper.set_properties(
        args.prim, rotation_limits=limits(args.rotation_limits, "--rotation-limits"),
        translation_limits=limits(args.translation_limits, "--translation-limits"), forward_axis=args.forward_axis,
        **numbers(args, "coaxial_force_limit", "shear_force_limit", "max_grip_distance", "retry_interval"))


def set_attachment_points(gripper: corvane.SurfaceGripper, args: argparse.Namespace) -> Any:
    return gripper.set_attachment_point_properties(
        args.prim, joint_paths=args.joint_paths, local_pose_0=pose(args.local_pose_0, "--local-pose-0"),
        local_pose_1=pose(args.local_pose_1, "--local-pose-1"),
        rotation_limits=limits(args.rotation_limits, "--rotation-limits"),
        translation_limits=limits(args.translation_limits, "--translation-limits"), forward_axis=args.forward_axis,
        **numbers(args, "z_axis_translation_drive_stiffness", "z_axis_translation_drive_damping", "clearance_offset"))


def shared_property_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--rotation-limits", metavar="JSON", help='per-axis limits, e.g. \'{"x": [-0.5, 0.5]}\'')
    parser.add_argument("--translation-limits", metavar="JSON", help="per-axis limits, as --rotation-limits")
    parser.add_argument("--forward-axis", metavar="AXIS", help="the forward axis, e.g. Z")


def register(subparsers: Any, connection: argparse.ArgumentParser) -> None:
    group = subparsers.add_parser("gripper", help="surface grippers: create, open, close, query, configure",
                                  description="The surface gripper operations. Results are the bridge's JSON; "
                                  "a setting left out is left as it is.")
    actions = group.add_subparsers(title="actions", metavar="ACTION", dest="action", required=True)

    def add(name: str, operation: Operation, summary: str) -> argparse.ArgumentParser:
        parser = leaf(actions, name, [connection], family_command("surface_gripper", operation), summary)
        add_prim(parser, "the gripper's prim path, e.g. /World/Gripper")
        return parser

    add("create", lambda g, x: g.create(x.prim), "create a surface gripper")
    add("remove", lambda g, x: g.remove(x.prim), "remove a surface gripper")
    add("get", lambda g, x: g.get(x.prim), "print the gripper")
    for name, operation in (("close", close), ("open", open_)):
        parser = add(name, operation, f"{name} the gripper (returns when done, unless --async)")
        parser.add_argument("--async", dest="asynchronous", action="store_true", help="return at once")
    add("status", lambda g, x: g.get_status(x.prim), "print the gripper's status")
    add("properties", lambda g, x: g.get_properties(x.prim), "print the gripper's properties")
    add("attachment-points", lambda g, x: g.get_attachment_points(x.prim), "print the attachment points")

    parser = add("set-properties", set_properties, "change the gripper's properties")
    for option in ("coaxial-force-limit", "shear-force-limit", "max-grip-distance", "retry-interval"):
        parser.add_argument(f"--{option}", metavar="X", type=float)
    shared_property_options(parser)

    parser = add("set-attachment-points", set_attachment_points, "change the attachment points' properties")
    parser.add_argument("--joint-paths", metavar="PATH", nargs="+", help="the attachment points' joint paths")
    parser.add_argument("--local-pose-0", metavar="JSON", help="local pose 0 as JSON (null: an explicit null)")
    parser.add_argument("--local-pose-1", metavar="JSON", help="local pose 1 as JSON (null: an explicit null)")
    for option in ("z-axis-translation-drive-stiffness", "z-axis-translation-drive-damping", "clearance-offset"):
        parser.add_argument(f"--{option}", metavar="X", type=float)
    shared_property_options(parser)
