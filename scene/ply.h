#pragma once
// PLY files (the Stanford polygon format): the model, reader and writer.
