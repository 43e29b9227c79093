// The renderer's shader library "default" (GLSL ES 3.00; the backend adds the
// #version line and default precision).
//
// Binding conventions of the GL backend: a vertex attribute's location is the
// attribute index of the pipeline's vertex descriptor; a sampler named
// "..._N" reads texture slot N; a uniform block named "..._N" reads buffer
// slot N (vertex and fragment slots share one space).

//! function capturedImageVertexTransform vertex
layout(location = 0) in vec2 position;
layout(location = 1) in vec2 texCoord;
out vec2 vTexCoord;
void main() {
    gl_Position = vec4(position, 0.0, 1.0);
    vTexCoord = texCoord;
}

//! function capturedImageFragmentShader fragment
in vec2 vTexCoord;
uniform sampler2D capturedImageTextureY_1;
uniform sampler2D capturedImageTextureCbCr_2;
out vec4 fragColor;
// Video-range BT.601, the same maths as the detection pixel operations:
// Y clamped to 16..235, Cb and Cr to 16..240.
void main() {
    float y = clamp(texture(capturedImageTextureY_1, vTexCoord).r * 255.0, 16.0, 235.0) - 16.0;
    vec2 c = clamp(texture(capturedImageTextureCbCr_2, vTexCoord).rg * 255.0, 16.0, 240.0) - 128.0;
    vec3 rgb = vec3(1.164384 * y + 1.596027 * c.y,
                    1.164384 * y - 0.391762 * c.x - 0.812968 * c.y,
                    1.164384 * y + 2.017232 * c.x);
    fragColor = vec4(clamp(rgb / 255.0, 0.0, 1.0), 1.0);
}

//! function anchorGeometryVertexTransform vertex
layout(location = 0) in vec3 position;
layout(location = 1) in vec2 texCoord;
layout(location = 2) in vec3 normal;
layout(std140) uniform InstanceUniforms_2 {
    mat4 modelMatrix[64];
} instances;
layout(std140) uniform SharedUniforms_3 {
    mat4 viewMatrix;
    mat4 projectionMatrix;
    vec4 ambientLightColor;
    vec4 directionalLightDirection;
    vec4 directionalLightColor;
    float materialShininess;
} uniforms;
out vec3 vEyePosition;
out vec3 vNormal;
out vec2 vTexCoord;
out vec4 vColor;
void main() {
    mat4 modelViewMatrix = uniforms.viewMatrix * instances.modelMatrix[gl_InstanceID];
    vec4 eyePosition = modelViewMatrix * vec4(position, 1.0);
    gl_Position = uniforms.projectionMatrix * eyePosition;
    vEyePosition = eyePosition.xyz;
    vNormal = normalize((modelViewMatrix * vec4(normal, 0.0)).xyz);
    vTexCoord = texCoord;
    // A colour per cube face, from the dominant axis of its normal.
    vColor = vec4(abs(normal) * 0.6 + 0.2, 1.0);
}

//! function anchorGeometryFragmentLighting fragment
in vec3 vEyePosition;
in vec3 vNormal;
in vec2 vTexCoord;
in vec4 vColor;
layout(std140) uniform SharedUniforms_3 {
    mat4 viewMatrix;
    mat4 projectionMatrix;
    vec4 ambientLightColor;
    vec4 directionalLightDirection;
    vec4 directionalLightColor;
    float materialShininess;
} uniforms;
out vec4 fragColor;
void main() {
    vec3 n = normalize(vNormal);
    vec3 toLight = -normalize((uniforms.viewMatrix * vec4(uniforms.directionalLightDirection.xyz, 0.0)).xyz);
    float diffuse = max(dot(n, toLight), 0.0);
    vec3 halfway = normalize(toLight - normalize(vEyePosition));
    float specular = pow(max(dot(n, halfway), 0.0), max(uniforms.materialShininess, 1.0));
    vec3 light = uniforms.ambientLightColor.rgb + uniforms.directionalLightColor.rgb * diffuse;
    fragColor = vec4(vColor.rgb * light + uniforms.directionalLightColor.rgb * specular, vColor.a);
}
