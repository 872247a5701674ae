"""QorvelAPI: the plugin-authoring interface of the Qorvel workflow platform.

Plugin scripts import their classes from the two extension modules::

    from QorvelAPI.plugins import PluginVariable, VariableTypes, PluginBlock, Plugin
    from QorvelAPI.molstar import MolstarAPI
"""
