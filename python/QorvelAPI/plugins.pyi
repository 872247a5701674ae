"""The object model of Qorvel plugins: variables, blocks, connections, remotes, plugins and pages."""
from enum import Enum
from typing import Any, Callable, ClassVar, ContextManager, Dict, List, Literal, NoReturn, Optional, Self, Union

from pydantic import BaseModel

# Variable types

class VariableTypes(str, Enum):
    """The types of variables."""

    ANY = "any"
    STRING = "string"
    TEXT_AREA = "text_area"
    NUMBER = "number"
    INTEGER = "integer"
    FLOAT = "float"
    BOOLEAN = "boolean"
    STRING_LIST = "string[]"
    NUMBER_LIST = "number[]"
    NUMBER_RANGE = "[number, number, number]"
    CONSTRAINED_NUMBER_RANGE = "[number, number, number, constrain]"
    FILE = "file"
    FOLDER = "folder"
    MULTIPLE_STRUCTURE = "multiple_structure"
    STRUCTURE = "structure"
    HETERORES = "heterores"
    STDRES = "stdres"
    RESIDUE = "residue"
    ATOM = "atom"
    CHAIN = "chain"
    BOX = "box"
    SPHERE = "sphere"
    SMILES = "smiles"
    _GROUP = "group"
    LIST = "list"
    _LIST = "_list"
    OBJECT = "object"
    CODE = "code"
    CUSTOM = "custom"
    RADIO = "radio"
    CHECKBOX = "checkbox"
    @staticmethod
    def getTypes() -> List[VariableTypes]:
        """Returns a list of all the available types."""

class PluginBlockTypes(str, Enum):
    """The different types of blocks."""

    BASE = "base"
    INPUT = "input"
    ACTION = "action"
    SLURM = "slurm"
    CONFIG = "config"
    GHOST = "ghost"

# Errors of the model

class UniqueVariableIDException(Exception):
    """Exception that is raised when a variable ID is not unique inside a block."""

    message: str
    variableId: str
    def __init__(self, message: str, variableId: str = "Unknown") -> None: ...

class BlockNotFoundError(Exception):
    """Exception raised when a block is not found."""

    def __init__(self, blockID: Any) -> None: ...

# Variables

class PluginVariable:
    """Class that defines a variable that can be used in a PluginBlock.

    Args:
        id: The ID of the variable.
        name: The name of the variable.
        description: A description of the variable.
        type: The type of the variable. Assign it using the VariableTypes class.
        defaultValue: The default value of the variable.
        allowedValues: A list of allowed values for the variable.
        category: The category under which the editor lists the variable.
        disabled: Whether the variable is disabled or not
        required: Whether the variable is required or not. This will show the variable in orange when not connected.
        placeholder: The placeholder of the input field.
    """

    id: str
    """The ID of the variable."""
    name: str
    """The name of the variable."""
    description: str
    """A description of the variable."""
    type: Union[VariableTypes, str]
    """The type of the variable. Assign it using the VariableTypes class."""
    defaultValue: Any
    """The default value of the variable."""
    value: Any
    """The current value of the variable."""
    allowedValues: Optional[List[Any]]
    """A list of allowed values for the variable."""
    category: str
    """The category of the variable."""
    disabled: bool
    """Whether the variable is disabled or not"""
    required: bool
    """Whether the variable is required or not. This will show the variable in orange when not connected."""
    placeholder: Optional[str]
    """The placeholder of the input field."""
    def __init__(
        self,
        id: str,
        name: str,
        description: str,
        type: Union[VariableTypes, str],
        defaultValue: Any = None,
        allowedValues: Optional[List[Any]] = None,
        category: Optional[str] = None,
        disabled: bool = False,
        required: bool = False,
        placeholder: Optional[str] = None,
    ) -> None: ...
    def __deepcopy__(self, memo: Dict[int, Any], /) -> Self: ...
    def toDict(self, minimal: bool = False) -> Dict[str, Any]:
        """Convert the variable to a dictionary.

        Args:
            minimal: Only the ID, the value and the type, as a block state stores the variable.

        Returns:
            The variable dictionary that the editor receives.
        """

class CustomVariable(PluginVariable):
    """Custom varialbe which supports custom view

    The custom variable works like a regular variable, but it can use an extension page
    to render a custom and complex configuration view to define the variable value.
    The variableType attribute will work just as the regular variables counterpart.

    Inside the extension page, set the value with
    parent.qorvel.setVariableValue(variableID, value)
    Where variableID is the ID of the variable and value is the value to set.
    The values must be JSON serializable.

    Args:
        id: The ID of the variable.
        name: The name of the variable.
        description: A description of the variable.
        type: The type of the variable's value. Assign it using the VariableTypes class.
        customPage: The page instance where the variable will be rendered.
        defaultValue: The default value of the variable.
        allowedValues: A list of allowed values for the variable.
        category: The category under which the editor lists the variable.
        disabled: Whether the variable is disabled or not.
        required: Whether the variable is required or not.
    """

    customPage: PluginPage
    """The page instance where the variable will be rendered."""
    _isCustom: ClassVar[bool]
    def __init__(
        self,
        id: str,
        name: str,
        description: str,
        type: Union[VariableTypes, str],
        customPage: PluginPage,
        defaultValue: Any = None,
        allowedValues: Optional[List[Any]] = None,
        category: Optional[str] = None,
        disabled: bool = False,
        required: bool = False,
    ) -> None: ...
    def toDict(self, minimal: bool = False) -> Dict[str, Any]:
        """Converts the variable to a dictionary and adds the pageID.

        Args:
            minimal: Only the ID, the value and the type, as a block state stores the variable.

        Returns:
            The variable dictionary that the editor receives.
        """

class VariableGroup(PluginVariable):
    """A group of varaibles to be used together as input.

    Initialize a VariableGroup

    Args:
        id: The ID of the variable group (must be unique).
        name: The name of the variable group.
        description: A description of the variable group.
        variables: The list of variables in the group.
        allowedValues: In this case, the allowed values will indicate in the GUI which groups can be connected (with the same allowedValues).
        category: The category under which the editor lists the group.
        disabled: This will set all the variables under the group as disabled
        required: Whether the group must be connected.
    """

    variables: List[PluginVariable]
    """The list of variables in the group."""
    def __init__(
        self,
        id: str,
        name: str,
        description: str,
        variables: List[PluginVariable],
        allowedValues: Optional[List[Any]] = None,
        category: Optional[str] = None,
        disabled: bool = False,
        required: bool = False,
    ) -> None: ...
    def toDict(self, minimal: bool = False) -> Dict[str, Any]:
        """Convert the variable group to a dictionary, with its members under "variables".

        Args:
            minimal: Only the ID, the value and the type, as a block state stores the variable.

        Returns:
            The variable dictionary that the editor receives.
        """
    def _updateVariablesInGroup(self, values: Dict[str, Any]) -> None:
        """Update the values of the variables inside this group"""

class VariableList(PluginVariable):
    """A list of the designed input variables.

    Its value is a list of rows, each a dictionary from the prototypes' IDs to values.

    Args:
        id: The ID of the variable.
        name: The name of the variable.
        description: A description of the variable.
        prototypes: The list of variables in each row of the list.
        allowedValues: Matching allowedValues in other variables will indicate in the GUI which variables can be connected.
        category: The category under which the editor lists the variable.
        disabled: Will set all variables under the list as disabled.
        required: Will set all variables under the list as required.
    """

    prototypes: List[PluginVariable]
    """The list of variables in each row of the list."""
    def __init__(
        self,
        id: str,
        name: str,
        description: str,
        prototypes: List[PluginVariable],
        allowedValues: Optional[List[Any]] = None,
        category: Optional[str] = None,
        disabled: bool = False,
        required: bool = False,
    ) -> None: ...
    def toDict(self, minimal: bool = False) -> Dict[str, Any]:
        """Convert the variable list to a dictionary, with its prototypes under "variables".

        Args:
            minimal: Only the ID, the value and the type, as a block state stores the variable.

        Returns:
            The variable dictionary that the editor receives.
        """
    def _updateVariablesInList(self, value: Optional[List[Dict[str, Any]]]) -> None:
        """Updates the variable in the list and takes care of the disabled variables"""

# Connections

class BlockVarPair:
    """A connection of a block for a given variable of that block.

    Args:
        blockPlacedID: The placed ID of the block in the flow.
        blockID: The ID of the block.
        variableID: The ID of the variable, input or output.
        variableType: The type of the variable.
        variableAllowedValues: The allowed values of the variable.
    """

    blockPlacedID: int
    """The placed ID of the block instance in the flow."""
    blockID: str
    """The ID of the block."""
    variableID: str
    """The ID of the variable of that block."""
    variableType: str
    """The type of that variable."""
    variableAllowedValues: Optional[List[Any]]
    """The allowed values of that variable."""
    def __init__(
        self,
        blockPlacedID: int,
        blockID: str,
        variableID: str,
        variableType: Optional[str] = None,
        variableAllowedValues: Optional[List[Any]] = None,
    ) -> None: ...
    def __deepcopy__(self, memo: Dict[int, Any], /) -> Self: ...
    def _toDict(self) -> Dict[str, Any]:
        """The dictionary of this connection end."""

class BlockConnection:
    """A connection between blocks and variables.

    Args:
        origin: The end it starts from: an output.
        destination: The end it leads to: an input or a variable.
        isCyclic: Whether it leads back to an earlier block of the flow.
        cycles: How many times a cyclic connection is followed.
        currentCycle: How many times it has been followed so far.
    """

    origin: BlockVarPair
    """The origin end of the connection."""
    destination: BlockVarPair
    """The destination end of the connection."""
    isCyclic: bool
    """Whether the connection is cyclic."""
    cycles: int
    """The number of cycles of the connection."""
    currentCycle: int
    """The current cycle of the connection."""
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(
        self,
        origin: BlockVarPair,
        destination: BlockVarPair,
        isCyclic: bool,
        cycles: int = 1,
        currentCycle: int = 0,
    ) -> None: ...
    def __eq__(self, value: object) -> bool: ...
    def __deepcopy__(self, memo: Dict[int, Any], /) -> Self: ...
    def __ne__(self, value: object) -> bool: ...
    def _toDict(self) -> Dict[str, Any]:
        """The dictionary of this connection."""

# Remote

class PluginRemote:
    """Remote interface for blocks"""

    _remote: Any
    """The host's remote object that this wraps."""
    def __init__(self, remote: Any) -> None: ...
    def remoteCommand(self, command: str) -> Any:
        """Executes a command on the remote.

        The output of the command will be returned.

        Args:
            command: The shell command, run in the remote's current folder.

        Returns:
            The command's output.
        """
    def sendData(self, source: str, destination: str) -> Optional[str]:
        """Sends a file to the remote.

        Returns: The final absolute path to the uploaded file.
        """
    def getData(self, source: str, destination: str) -> Optional[str]:
        """Gets a file from the remote.

        Returns: The final absolute path to the downloaded file.
        """
    def submitJob(self, script: str, changeDir: bool = True) -> Optional[int]:
        """Submit a slurm job to the queue system of the cluster (SLURM)

        changeDir: automatically cd to the container folder of the script. Disable this if using the cd context manager or for specific cases.

        Returns: The job ID.
        """
    def cd(self, path: str) -> ContextManager[Any]:
        """Context manager to change directory on the remote.

        Works with the remoteCommand, submitJob and send/get data functions.

        Args:
            path: The folder on the remote, for the commands inside the with block.
        """
    @property
    def userHome(self) -> Optional[str]:
        """Returns the expanded user home directory."""
    @property
    def workDir(self) -> Optional[str]:
        """Returns the Qorvel directory on the remote.

        If on local, returns the flow directory.
        """
    @property
    def name(self) -> Optional[str]:
        """Returns the name of the remote."""
    @property
    def host(self) -> Optional[str]:
        """Returns the host adress of the remote."""
    @property
    def isLocal(self) -> bool:
        """Returns whether the remote is local or not"""

# Blocks

class PluginBlock:
    """The base block class for Qorvel blocks. Not to be used directly.

    Initialize a PluginBlock.

    Args:
        name: The name of the block.
        description: The description of the block.
        action: The function called with the running copy of the block when the flow runs it.
        variables: The variables of the block, set in the editor.
        inputs: The inputs of the block, in an input group named "default".
        inputGroups: Groups of inputs; the block uses the variables of the selected one.
        outputs: The outputs of the block, set by its action with setOutput.
        blockType: The kind of the block.
        id: The ID of the block: letters, numbers and underscores (default: from the name).
        externalURL: The external URL of the block for documentation purposes.
    """

    id: str
    """The ID of the block."""
    name: str
    """The name of the block."""
    description: str
    """The description of the block."""
    action: Optional[Callable[..., Any]]
    """The action of the block, called when the flow runs the block."""
    externalURL: Optional[str]
    """The external URL of the block for documentation purposes."""
    TYPE: PluginBlockTypes
    """The type of the block."""
    error: bool
    """Whether the last run of the block ended in error."""
    blockLogs: str
    """The log text of the block's run, shown by the editor."""
    selectedInputGroup: str
    """The ID of the input group whose variables are the block's current inputs."""
    selectedRemote: str
    """The name of the remote selected for this block in the editor."""
    time: float
    """The time of the block's run, shown by the editor."""
    dirty: bool
    """The editor's dirty mark of the block."""
    extraData: Dict[str, Any]
    """Free-form data kept with the block for the editor."""
    flow: Any
    """The flow that the block runs in; assigned by the host."""
    pluginDir: str
    """The folder of the plugin that declares the block; assigned by the host."""
    remote: PluginRemote
    """The remote on which the action runs."""
    config: Dict[str, Any]
    """The configuration values of the plugin, read as block.config["variable_id"]."""
    _variables: List[PluginVariable]
    """The variables of the block."""
    _outputs: List[PluginVariable]
    """The outputs of the block."""
    _inputGroups: Dict[str, VariableGroup]
    """The input groups of the block, by group ID."""
    _position: List[float]
    """The position of the block on the editor canvas, as [x, y]."""
    _isPlaced: bool
    """Whether the block has been placed in a flow."""
    _isRunning: bool
    """Whether the block is running."""
    _placedID: Optional[int]
    """The ID of this placement of the block in a flow."""
    _finishedExecution: bool
    """Whether the block has finished executing."""
    _storedOutputs: Dict[str, Any]
    """The output values set during the run, by output ID."""
    _variableConnections: List[BlockConnection]
    """The connections of the block's variables."""
    _variableConnectionsReferences: List[BlockConnection]
    """The reference connections of the block, kept and written separately."""
    _extensionsToOpen: List[Dict[str, Any]]
    """The extension pages that the editor is asked to open."""
    _isOriginal: bool
    """True for a block built by its constructor, False for a copy."""
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(
        self,
        name: str,
        description: str,
        action: Optional[Callable[..., Any]] = None,
        variables: List[PluginVariable] = [],
        inputs: List[PluginVariable] = [],
        inputGroups: List[VariableGroup] = [],
        outputs: List[PluginVariable] = [],
        blockType: PluginBlockTypes = PluginBlockTypes.BASE,
        id: Optional[str] = None,
        externalURL: Optional[str] = None,
    ) -> None: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Dict[str, Any]: ...
    def __eq__(self, value: object) -> bool: ...
    def __ne__(self, value: object) -> bool: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: Optional[Dict[int, Any]] = None) -> Self: ...
    @property
    def variables(self) -> Dict[str, Any]:
        """The variables assigned to the block."""
    @property
    def inputs(self) -> Dict[str, Any]:
        """The inputs assigned to the block."""
    @property
    def outputs(self) -> Dict[str, Any]:
        """The outputs assigned to the block."""
    def copy(self) -> Self:
        """A deep copy of the block; work on it never modifies this block. Callables are shared.

        Returns:
            A new block of the same kind.
        """
    def setOutput(self, id: str, value: Any) -> None:
        """Sets the value of an output variable.

        Args:
            id: The ID of the output.
            value: Its value; it must fit the output's type.
        """
    def _parseID(self, id: str) -> str:
        """Parses the ID of the block.

        The ID should only contain letters, numbers, and underscores.
        """
    def _getVariables(self) -> List[PluginVariable]:
        """Returns a list of the variables of the block."""
    @staticmethod
    def _parseVariablesForBlockAccess(variable: PluginVariable) -> Any:
        """The value of a variable as block actions see it."""
    def _cleanRun(self, cleanCycles: bool = True, cleanDirty: bool = False) -> None:
        """Cleans the run of the block."""
    def _setRemote(self, remote: Any) -> None:
        """Sets the remote of the block."""
    def _minimalEncode(self) -> Dict[str, Any]:
        """Encode only the blockID and the internal variables."""
    def _toDict(self) -> Dict[str, Any]:
        """Converts the block to a dictionary."""
    def _variablesToDict(self, vars: List[PluginVariable], minimal: bool = False) -> List[Dict[str, Any]]:
        """Converts a list of variables to a list of dictionaries."""
    def _inputGroupsToDict(self, inputGroups: Dict[str, VariableGroup]) -> List[Dict[str, Any]]:
        """Converts the input groups to a list of dictionaries."""
    def _connectionsToDict(self, references: bool = False) -> List[Dict[str, Any]]:
        """Converts the connections of the block to a dictionary."""
    def _updateVariables(self, values: Dict[str, Any]) -> None:
        """Updates the values of the variables of the block.

        values: (JSON coming from frontend)
        """
    def _updateInputs(self, values: Dict[str, Any]) -> None:
        """Updates the values of the inputs of the block.

        values: (JSON coming from frontend)
        """
    def _parseInternalVariables(self, blockJSON: Dict[str, Any]) -> None:
        """Updates the block with the internal variables."""

class GhostBlock(PluginBlock):
    """A block used to represent missing or unavailable blocks in a flow.

    Args:
        id: The ID of the missing block.
    """

    error: bool
    """A ghost block is always in error: its block is missing or unavailable."""
    blockLogs: str
    """The log text of the block's run, shown by the editor."""
    def __init__(self, id: str) -> None: ...
    def __call__(self, *args: Any, **kwargs: Any) -> NoReturn: ...
    def _parseID(self, id: str) -> str:
        """Returns the ID of the missing block unchanged."""
    def _toDict(self) -> Dict[str, Any]:
        """Converts the block to a dictionary, showing it as missing."""

class PluginConfig(PluginBlock):
    """A block that configures a plugin. Its variables are stored once set; actions read them as block.config["variable_id"].

    Args:
        name: The name of the block.
        description: The description of the block.
        action: The action of the block. Will be run when storing the config.
        variables: The variables of the block.
        id: The ID of the block (default: from the name).
    """

    def __init__(
        self,
        name: str,
        description: str,
        action: Optional[Callable[..., Any]] = None,
        variables: List[PluginVariable] = [],
        id: Optional[str] = None,
    ) -> None: ...

class InputBlock(PluginBlock):
    """A block that asks the user for one value and passes it to its output.

    Args:
        name: The name of the block.
        description: The description of the block.
        variable: The variable of the block.
        output: The output of the block.
        action: The action of the block.
        id: The id of the block.
        externalURL: The external URL of the block for documentation purposes.
    """

    def __init__(
        self,
        name: str,
        description: str,
        variable: PluginVariable,
        output: Optional[PluginVariable] = None,
        action: Optional[Callable[..., Any]] = None,
        id: Optional[str] = None,
        externalURL: Optional[str] = None,
    ) -> None: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Dict[str, Any]: ...

class SlurmBlock(PluginBlock):
    """A special type of block used to run an action in a remote server. It works as a regular PluginBlock, but it has two actions: one before the job is submitted and one after the job is completed.

    Args:
        name: The name of the block.
        description: The description of the block.
        initialAction: The action of the block before the job is submitted.
        finalAction: The action of the block after the job is completed.
        variables: The variables of the block.
        inputs: The inputs of the block.
        inputGroups: The input groups of the block.
        outputs: The outputs of the block.
        id: The ID of the block.
        failOnSlurmError: Whether to fail the block if the slurm job fails.
        extenrnalURL: The external URL of the block for documentation purposes.
    """

    class Status(Enum):
        """The status of the block."""

        BOOT_FAIL = "BOOT_FAIL"
        CANCELLED = "CANCELLED"
        CANCELLING = "CANCELLING"
        COMPLETED = "COMPLETED"
        CONFIGURING = "CONFIGURING"
        COMPLETING = "COMPLETING"
        DEADLINE = "DEADLINE"
        FAILED = "FAILED"
        NODE_FAIL = "NODE_FAIL"
        OUT_OF_ME = "OUT_OF_ME"
        PENDING = "PENDING"
        PREEMPTED = "PREEMPTED"
        RUNNING = "RUNNING"
        RESV_DEL_HOLD = "RESV_DEL_HOLD"
        REQUEUE_FED = "REQUEUE_FED"
        REQUEUE_HOLD = "REQUEUE_HOLD"
        REQUEUED = "REQUEUED"
        RESIZING = "RESIZING"
        REVOKED = "REVOKED"
        SIGNALING = "SIGNALING"
        SPECIAL_EXIT = "SPECIAL_EXIT"
        STAGE_OUT = "STAGE_OUT"
        STOPPED = "STOPPED"
        SUSPENDED = "SUSPENDED"
        TIMEOUT = "TIMEOUT"
        UNKNOWN = "UNKNOWN"
        IDLE = "IDLE"
        @classmethod
        def _missing_(cls, value: object) -> SlurmBlock.Status: ...

    # The constructor's initialAction, stored under this spelling.
    initalAction: Optional[Callable[..., Any]]
    """The action of the block before the job is submitted."""
    finalAction: Optional[Callable[..., Any]]
    """The action of the block after the job is completed."""
    jobID: Optional[int]
    status: SlurmBlock.Status
    stdOut: Optional[str]
    stdErr: Optional[str]
    detailedStatus: Optional[str]
    failOnSlurmError: bool
    _executeSecondAction: bool
    def __init__(
        self,
        name: str,
        description: str,
        initialAction: Optional[Callable[..., Any]],
        finalAction: Optional[Callable[..., Any]],
        variables: List[PluginVariable] = [],
        inputs: List[PluginVariable] = [],
        inputGroups: List[VariableGroup] = [],
        outputs: List[PluginVariable] = [],
        id: Optional[str] = None,
        failOnSlurmError: bool = True,
        extenrnalURL: Optional[str] = None,
    ) -> None: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Dict[str, Any]: ...
    @property
    def isWaitingForJob(self) -> bool:
        """Whether the block is waiting for the job to finish or not."""
    def parseStatus(self) -> str:
        """Parses the status of the block.

        Returns:
            The status of the block as a parsed string.
        """
    def waitTillJobFinished(self, interval: int = 10) -> None:
        """Waits until the job is finished.

        Args:
            interval: The interval in seconds to check if the job is finished.
        """
    def _minimalEncode(self) -> Dict[str, Any]:
        """Encode only the blockID and the internal variables."""
    def _parseInternalVariables(self, blockJSON: Dict[str, Any]) -> None:
        """Updates the block with the internal variables."""
    def _cleanRun(self, *args: Any, **kwargs: Any) -> None:
        """Cleans the run of the block."""

# Pages and endpoints

class PluginEndpoint:
    """Endpoints for plugin pages.

    Create a new PluginEndpoint.

    :param url: The URL of the endpoint, for example "/my_endpoint".
    :param methods: The HTTP methods that the endpoint accepts.
    :param function: The function that will be called when the endpoint is accessed.
    """

    url: str
    """The URL of the endpoint, relative to its page (for example "/my_endpoint")."""
    methods: List[str]
    """The HTTP methods that the endpoint accepts (such as GET and POST)."""
    function: Callable[..., Any]
    """The function that will be called when the endpoint is accessed."""
    def __init__(self, url: str, methods: List[str], function: Callable[..., Any]) -> None: ...

class PluginPage:
    """Class that defines a page that can be accessed from the extension menu.

    Create a new PluginPage.

    :param id: The ID of the page.
    :param name: The name of the page.
    :param description: A description of the page.
    :param html: The name of the HTML file (i.e. "my_page.html"). The html file must be located in the "Pages" folder of the plugin.
    :param hidden: Whether the page should be hidden from the extension menu (default: False).
    """

    id: str
    """The ID of the page."""
    name: str
    """The name of the page."""
    description: str
    """A description of the page."""
    html: str
    """The name of the HTML file (i.e. "my_page.html").
    The html file must be located in the "Pages" folder of the plugin.
    """
    hidden: bool
    """Whether the page should be hidden from the extension menu (default: False)."""
    endpoints: List[PluginEndpoint]
    """The endpoints of the page."""
    _pageInfo: Dict[str, Any]
    """Information about the page, filled in by the host."""
    def __init__(self, id: str, name: str, description: str, html: str, hidden: bool = False) -> None: ...
    def addEndpoint(self, endpoint: PluginEndpoint) -> None:
        """Add an endpoint to the page.

        Define endpoints that the plugin can access from the defined pages.
        The endpoint URL should be defined as a string, for example: "/my_endpoint".
        The endpoint will be served at "/plugins/pages/<pluginID>.<pageID>/my_endpoint".
        Therefore, remember to perform any GET or POST request to that endpoint.
        You can use 'window.location' in JS to get the current URL.
        Note: pluginID and pageID are always lowercase.
        """

# Plugin container

PlatformType = List[Literal["universal", "linux", "macos_intel", "macos_arm"]]

class PluginMetaModel(BaseModel):
    """The metadata of a plugin"""

    id: str
    name: str
    description: str
    author: str
    version: str
    pluginFile: str
    minQorvelVersion: Optional[str]
    maxQorvelVersion: Optional[str]
    platforms: Optional[PlatformType]
    externalURL: Optional[str]
    dependencies: Optional[List[str]]
    def __init__(
        self,
        *,
        id: str,
        name: str,
        description: str,
        author: str,
        version: str,
        pluginFile: str,
        minQorvelVersion: Optional[str] = None,
        maxQorvelVersion: Optional[str] = None,
        platforms: Optional[PlatformType] = ["universal"],
        externalURL: Optional[str] = None,
        dependencies: Optional[List[str]] = [],
    ) -> None: ...

class Plugin:
    """Base class for all plugins.

    Initializes the plugin.

    :param id: The id of the plugin.
    :param noMetaLoad: Do not load the plugin.meta file on construction.
    """

    id: str
    """The identifier of the plugin."""
    pluginMeta: PluginMetaModel
    logo: Optional[str]
    default: bool
    actions: None
    """The actions of the plugin; None, kept for the host."""
    views: List[Any]
    """The views of the plugin; a list kept for the host."""
    _blocks: List[PluginBlock]
    """The block registry."""
    _pages: List[PluginPage]
    """The page registry."""
    _configs: List[PluginConfig]
    """The configuration-block registry."""
    _filename: str
    """File name of the plugin script."""
    _path: str
    """The plugin folder."""
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(self, id: Optional[str] = None, noMetaLoad: bool = False) -> None: ...
    def __eq__(self, value: object) -> bool: ...
    def __ne__(self, value: object) -> bool: ...
    def loadPluginMeta(self) -> None:
        """Loads the information about the plugin from the plugin.meta file."""
    @property
    def blocks(self) -> List[PluginBlock]:
        """Returns a list of all the blocks in the plugin."""
    def getBlock(self, id: Any) -> PluginBlock:
        """Returns a block by its ID.

        Args:
            id: The block's ID.

        Returns:
            The declared block.

        Raises:
            Exception: The plugin has no block with that ID.
        """
    def getBlocks(self) -> List[PluginBlock]:
        """Returns a list of all the blocks in the plugin."""
    def addBlock(self, block: PluginBlock) -> None:
        """Adds a PluginBlock to the plugin.

        Args:
            block: The block; its ID gets the plugin's prefix when the plugin registers its blocks.
        """
    @property
    def pages(self) -> List[PluginPage]:
        """Returns a list of all the pages in the plugin."""
    def getPage(self, id: Any) -> PluginPage:
        """Returns a page by its ID.

        Args:
            id: The page's ID.

        Returns:
            The page.
        """
    def getPages(self) -> List[PluginPage]:
        """Returns a list of all the pages in the plugin."""
    def addPage(self, page: PluginPage) -> None:
        """Adds a PluginPage to the plugin.

        Args:
            page: The page; its HTML file is in the plugin's Pages folder.
        """
    @property
    def config(self) -> Dict[str, Any]:
        """A dictionary with the configs of the block"""
    def addConfig(self, config: PluginConfig) -> None:
        """Adds a PluginConfig to the plugin.

        Args:
            config: The configuration block; its variables' values are read as block.config["id"].
        """
    def _addBlocks(self) -> None:
        """Registers every block held in an attribute of the plugin. Internal use only."""
    def _addPages(self) -> None:
        """Registers every page held in an attribute of the plugin. Internal use only."""
    @property
    def _flows(self) -> List[Dict[str, Any]]:
        """Returns a list of the flows contained
        in the 'flows' folder of the plugin.

        Internal use only.
        """
    def _getConfig(self, id: Any) -> PluginConfig:
        """Returns a config by its ID.

        Values are not accurate as per-remote configuration is not implemented here
        """
    def _getConfigs(self) -> List[PluginConfig]:
        """Returns the list of the configuration blocks of the plugin."""
    def _createConfig(self, configPath: str) -> None:
        """Creates the config file for the block."""
    def _updateConfigs(self, configPath: str) -> None:
        """Updates the values of the configs of the block.

        From the config JSON file.
        """
    def _saveConfig(self, configPath: str, valuesToSave: Dict[str, Any]) -> None:
        """Saves the config file for the block with new values."""
    def _configToDict(self) -> List[Dict[str, Any]]:
        """The block dictionaries of the configuration blocks."""
