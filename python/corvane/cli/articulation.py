"""corvane articulation ...: the articulation operations, one command each."""

from __future__ import annotations

import argparse
from typing import Any, Callable

import corvane

from .common import add_prim, family_command, leaf, load_json

Operation = Callable[[corvane.Articulation, argparse.Namespace], Any]


def positions(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("positions", metavar="POSITION", type=float, nargs="+",
                        help="joint positions (radians or metres)")
    parser.add_argument("--indices", metavar="I", type=int, nargs="+",
                        help="the joints the positions are for (default: all, in order)")


def assemble(articulation: corvane.Articulation, args: argparse.Namespace) -> Any:
    offset = load_json(args.offset, "--offset") if args.offset is not None else None
    return articulation.assemble_robot(args.prim, args.gripper, args.arm_mount_link, args.gripper_mount_link,
                                       offset, not args.no_mask_collisions)


def register(subparsers: Any, connection: argparse.ArgumentParser) -> None:
    group = subparsers.add_parser("articulation", help="articulations (robots): create, remove, query, move",
                                  description="The articulation operations. Results are the bridge's JSON.")
    actions = group.add_subparsers(title="actions", metavar="ACTION", dest="action", required=True)
    parents = [connection]

    def add(name: str, operation: Operation, summary: str) -> argparse.ArgumentParser:
        parser = leaf(actions, name, parents, family_command("articulation", operation), summary)
        add_prim(parser)
        return parser

    parser = add("create", lambda a, x: a.create(x.prim, x.urdf),
                 "create an articulation (the built-in arm, or a URDF)")
    parser.add_argument("--urdf", metavar="PATH", help="the robot's URDF, a path on the bridge's side")
    add("remove", lambda a, x: a.remove(x.prim), "remove an articulation")
    add("driver-joint", lambda a, x: a.get_driver_joint(x.prim), "print the driver joint")
    parser = add("driven-joints", lambda a, x: a.set_driven_joints(x.prim, x.names), "choose the driven joints")
    parser.add_argument("names", metavar="JOINT", nargs="+", help="joint names")
    add("dof-limits", lambda a, x: a.get_dof_limits(x.prim), "print the degree-of-freedom limits")
    add("state", lambda a, x: a.get_joints_state(x.prim), "print the joint state")
    parser = add("set", lambda a, x: a.set_joint_positions(x.prim, x.positions, x.indices),
                 "set joint positions at once (teleport)")
    positions(parser)
    parser = add("move", lambda a, x: a.move_joint_positions(x.prim, x.positions, x.indices, x.asynchronous),
                 "move the joints to positions (returns when the motion ends, unless --async)")
    positions(parser)
    parser.add_argument("--async", dest="asynchronous", action="store_true",
                        help="return as soon as the motion has started")
    parser = add("assemble", assemble, "mount a gripper on the articulation")
    parser.add_argument("gripper", metavar="GRIPPER_ID", help="the gripper to mount (its prim path)")
    parser.add_argument("arm_mount_link", metavar="ARM_MOUNT_LINK", help="the articulation's link to mount it on")
    parser.add_argument("--gripper-mount-link", metavar="LINK", help="the gripper's link to mount by")
    parser.add_argument("--offset", metavar="JSON", help="the mount offset as JSON, passed to the bridge as it is")
    parser.add_argument("--no-mask-collisions", action="store_true",
                        help="keep collisions between the articulation and the gripper")
