"""`kx init`, `kx author add|list`, `kx section add|list`: the store and the
records that tracked lines point to.

Adding is idempotent: an author or section that is already registered is
not appended a second time (the store would only hold a duplicate line, and
a new unrevoked copy of a revoked record would make its state ambiguous);
the command prints the existing id or hash."""

from __future__ import annotations

import argparse
import os

import _kx_native as native

from kx.errors import KxError
from kx.output import Output, note, short, table
from kx.store import Store, author_id, section_hash


def register(commands, common) -> None:
    p = commands.add_parser(
        "init",
        parents=[common],
        help="create the store of a project",
        description="Create the store (.kx) in DIR (default: the project directory). "
        "Running it again on an existing store changes nothing.",
    )
    p.add_argument("target", nargs="?", metavar="DIR", help="project directory to create the store in")
    p.set_defaults(run=init, needs_store=False)

    author = commands.add_parser("author", help="register and list authors", description="Authors of source material.")
    verbs = author.add_subparsers(dest="verb", metavar="VERB")
    author.set_defaults(group_parser=author)
    p = verbs.add_parser(
        "add",
        parents=[common],
        help="register an author and print the author id",
        description="Register an author (a name and an e-mail address) and print the author id.",
    )
    p.add_argument("name", metavar="NAME")
    p.add_argument("email", metavar="EMAIL")
    p.set_defaults(run=author_add)
    p = verbs.add_parser(
        "list",
        parents=[common],
        help="list authors",
        description="List the registered authors, optionally only those with a given name or e-mail.",
    )
    p.add_argument("--name", help="only authors with exactly this name")
    p.add_argument("--email", help="only authors with exactly this e-mail address")
    p.set_defaults(run=author_list)

    section = commands.add_parser(
        "section", help="register and list sections of source material", description="Sections of source material."
    )
    verbs = section.add_subparsers(dest="verb", metavar="VERB")
    section.set_defaults(group_parser=section)
    p = verbs.add_parser(
        "add",
        parents=[common],
        help="register a section and print its hash",
        description="Register a section of source material (a path with its authors, contributors, "
        "license and year) and print the section hash that `kx track --source` takes.",
    )
    p.add_argument("path", metavar="PATH", help="path or name of the source material")
    p.add_argument(
        "--author",
        dest="authors",
        action="append",
        required=True,
        metavar="AUTHOR",
        help="an author id, a unique id prefix, or the name of a registered author (repeatable; order counts)",
    )
    p.add_argument(
        "--contributor", dest="contributors", action="append", default=[], metavar="NAME", help="repeatable"
    )
    p.add_argument("--license", required=True, help="license identifier, e.g. CC-BY-4.0")
    p.add_argument("--year", required=True)
    p.set_defaults(run=section_add)
    p = verbs.add_parser(
        "list",
        parents=[common],
        help="list sections",
        description="List the registered sections, optionally only those of an author or a license.",
    )
    p.add_argument("--author", help="only sections listing this author (name or id) among their authors")
    p.add_argument("--license", help="only sections with exactly this license")
    p.set_defaults(run=section_list)


def init(store: Store, args: argparse.Namespace) -> Output:
    target = args.target if args.target is not None else store.kx_dir
    existed = os.path.isdir(os.path.join(target, ".kx"))
    native.init(target)
    where = os.path.abspath(os.path.join(target, ".kx"))
    verb = "Reinitialised existing" if existed else "Initialised empty"
    return Output({"store": where, "created": not existed}, f"{verb} kx store in {where}")


def author_add(store: Store, args: argparse.Namespace) -> Output:
    _check_field("name", args.name)
    _check_field("e-mail", args.email)
    id_ = author_id(args.name, args.email)
    existing = store.author(id_)
    if existing is None:
        id_ = native.author_add(args.name, args.email, store.kx_dir)
    elif existing["revoked"]:
        note(f"author '{args.name}' is already registered and revoked")
    return Output({"id": id_, "name": args.name, "email": args.email, "created": existing is None}, id_)


def author_list(store: Store, args: argparse.Namespace) -> Output:
    authors = store.all_authors()
    if args.name is not None:
        authors = [a for a in authors if a["name"] == args.name]
    if args.email is not None:
        authors = [a for a in authors if a["email"] == args.email]
    authors.sort(key=lambda a: (a["name"], a["email"]))
    rows = [(a["id"], a["name"], f"<{a['email']}>", "revoked" if a["revoked"] else "") for a in authors]
    return Output(authors, table(rows))


def section_add(store: Store, args: argparse.Namespace) -> Output:
    _check_field("path", args.path)
    authors = [store.resolve_author(ref) for ref in args.authors]
    hash_ = section_hash(args.path, authors, args.contributors, args.license, args.year)
    existing = store.section(hash_)
    if existing is None:
        hash_ = native.register_section(args.path, authors, args.contributors, args.license, args.year, store.kx_dir)
    elif existing["revoked"]:
        note(f"section {short(hash_)} is already registered and revoked")
    data = {
        "section_hash": hash_,
        "path": args.path,
        "authors": authors,
        "contributors": args.contributors,
        "license": args.license,
        "year": args.year,
        "created": existing is None,
    }
    return Output(data, hash_)


def section_list(store: Store, args: argparse.Namespace) -> Output:
    sections = list(store.all_sections().values())
    if args.author is not None:
        ids = {a["id"] for a in store.authors_named(args.author)} or {store.resolve_author(args.author)}
        wanted = store.sections_of_authors(ids)
        sections = [s for s in sections if s["section_hash"] in wanted]
    if args.license is not None:
        sections = [s for s in sections if s.get("license") == args.license]
    sections.sort(key=lambda s: (str(s.get("path")), s["section_hash"]))
    rows = []
    for s in sections:
        names = ", ".join(_author_name(store, a) for a in s.get("authors") or [])
        state = "revoked" if s["revoked"] else ""
        rows.append((s["section_hash"], s.get("path", ""), s.get("license", ""), s.get("year", ""), names, state))
    return Output(sections, table(rows))


def _author_name(store: Store, id_: str) -> str:
    author = store.author(id_) if isinstance(id_, str) else None
    return author["name"] if author else short(str(id_))


def _check_field(what: str, value: str) -> None:
    if value == "":
        raise KxError(f"the {what} must not be empty")
