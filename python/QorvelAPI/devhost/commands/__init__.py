"""The commands of ``qorvel-plugin``, one module each.

A command module holds ``HELP`` (its one-line description), ``PLUGIN`` (whether it takes a
PLUGIN_DIR), ``add_arguments(parser)`` and ``run(args, out)``, which turns the parsed arguments
into calls of the library (``PluginHost``, ``LocalHost``, the checks, the serving app) and prints
what they return. Nothing below the commands imports one.
"""
