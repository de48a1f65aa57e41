"""The protocol texts the client sends and recognises.

They are plain ASCII and compared whole and case-sensitively by the plug-in,
so they are kept here once and used everywhere else by name.
"""

REQUEST_ROLE = "Request Socket"
EXECUTE_ROLE = "Execute Socket"

PRE_STEP_CALLED = "PreStepCalled"
POST_STEP_CALLED = "PostStepCalled"
POST_RUN_CALLED = "PostRunCalled"

BROADCAST_PREFIX = "Nimbrel Broadcast: "
BROADCAST_PORT = 55555

# First string of every error reply; the error text follows it.
WRONG_REQUEST = "Wrong request!"
