"""The commands of `kx`, one module per area.  Each module has
`register(commands, common)`, which adds its parsers to the `commands`
sub-parser action (with `common` as parent, for --json) and sets `run`, the
function `run(store, args) -> Output` that carries the command out."""

from kx.commands import blame, consent, maintenance, query, records, report, status, track

COMMAND_MODULES = [records, track, blame, query, consent, maintenance, status, report]
