"""Structural analysis of 3-D frames and trusses: a model as JSON text in, the same model
with its results as JSON text out. The format of both is described in docs/model-format.md
of the source distribution, and as a JSON Schema in docs/model.schema.json."""

def calculate_from_json(json_data: str) -> str:
    """Analyse a model given as JSON text.

    Reads the model, solves its load cases (when its analysis options ask for them) and all
    its load combinations, first- or second-order as the model's settings say, and returns
    the model as compact JSON text in its own units, every default filled in, with
    "results" holding the displacements, member end forces, section stations and reactions
    of every load case and combination. The interpreter lock is released while the model
    is analysed, so other Python threads run (and may call in) meanwhile.

    Raises:
        TypeError: json_data is not a str.
        RuntimeError: anything else, with the engine's message unchanged: unreadable JSON
            (a report with the line, the column and the surrounding lines), a model
            outside the limits (more than 10000 members), a load case whose solve
            fails ("LC <id> linear error: ..."), or an internal fault of the numerics
            ("Internal solver panic: ...").
    """

def calculate_from_file(path: str) -> str:
    """Analyse the model in the JSON file at path (UTF-8 text).

    The same analysis and the same returned text as calculate_from_json on the file's
    contents; the interpreter lock is released while the file is read and the model
    analysed. Only a regular file is read: a directory, a FIFO or a device is refused.

    Raises:
        TypeError: path is not a str.
        RuntimeError: the file cannot be read ("Failed to read JSON file '<path>': ..."),
            or any failure of calculate_from_json, with the engine's message unchanged.
    """

def load_varn_from_file(path: str) -> str:
    """Read the model in the JSON file at path and write it back without analysing it.

    Returns the model as compact JSON text, every default filled in, keys in their
    documented order, keys the format does not define dropped: a way to check a model file
    and to see what the engine reads from it.

    Raises:
        TypeError: path is not a str.
        RuntimeError: the file cannot be read (it is not a regular file, for example),
            or the model cannot be read (the reader's message with its line and column,
            without the context report).
    """
